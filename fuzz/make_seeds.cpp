// Writes the generated part of the seed corpora: signed messages and signatures made by our
// own signer with the fixed signer of fuzz/data, and private keys written by our own key
// writer. Usage: fuzz_make_seeds <directory>; files go to <directory>/<harness>/.

#include "fuzz_support.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/mime.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace {

namespace fs = std::filesystem;
using norvan::Bytes;
using norvan::ByteView;
namespace merrowin = norvan::signing::merrowin;

void write_seed(const fs::path& directory, const std::string& name, ByteView content) {
  fs::create_directories(directory);
  std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("Cannot write the seed " + (directory / name).string());
}

// The DER SignedData of a message made by sign_payload: its base64 signature part decoded.
Bytes signature_of(const Bytes& message) {
  const std::string text(norvan::as_text(message));
  const auto part = text.find("Content-Type: application/x-pkcs7-signature");
  const auto body = text.find("\r\n\r\n", part);
  const auto end = text.find("\r\n--", body);
  if (part == std::string::npos || body == std::string::npos || end == std::string::npos) {
    throw std::runtime_error("The signed message has no signature part");
  }
  std::string base64;
  for (const char c : text.substr(body + 4, end - body - 4)) {
    if (c != '\r' && c != '\n') base64 += c;
  }
  Bytes der(base64.size() / 4 * 3 + 3);
  const int length = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(base64.data()),
                                     static_cast<int>(base64.size()));
  if (length < 0) throw std::runtime_error("The signature part is not base64");
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t size = static_cast<std::size_t>(length);
  for (auto it = base64.rbegin(); it != base64.rend() && *it == '='; ++it) --size;
  der.resize(size);
  return der;
}

// A private-key seed: passphrase length, passphrase, PEM (see fuzz_private_key.cpp).
Bytes key_seed(std::string_view passphrase, norvan::ByteView pem) {
  Bytes seed{static_cast<std::uint8_t>(passphrase.size())};
  seed.insert(seed.end(), passphrase.begin(), passphrase.end());
  seed.insert(seed.end(), pem.begin(), pem.end());
  return seed;
}

void make_seeds(const fs::path& root) {
  const Bytes certificate = norvan::fuzz::read_data_file("signer.pem");
  const Bytes key_pem = norvan::fuzz::read_data_file("signer.key");
  const merrowin::PrivateKey signer = merrowin::private_key_from_pem(key_pem);

  const std::string_view payloads[] = {norvan::fuzz::kSignedPayload, "", "one line without end",
                                       "crlf\r\nlines\r\n", "lone\rcarriage return\n"};
  int index = 0;
  for (const std::string_view payload : payloads) {
    const Bytes message = norvan::signing::mime::sign_payload(certificate, signer, norvan::as_bytes(payload));
    write_seed(root / "fuzz_smime", "signed-" + std::to_string(index++), message);
  }
  // RFC 8551 mode: a text entity clear-signed and opaque, and a multipart/mixed entity.
  constexpr std::string_view kMixed =
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nhi\n--b\n"
      "Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\nAAEC\n--b--\n";
  for (const bool opaque : {false, true}) {
    for (const bool entity : {false, true}) {
      norvan::signing::mime::SignOptions options;
      options.rfc8551 = true;
      options.entity = entity;
      options.opaque = opaque;
      const std::string_view payload = entity ? kMixed : norvan::fuzz::kSignedPayload;
      write_seed(root / "fuzz_smime", "rfc8551-" + std::to_string(index++),
                 norvan::signing::mime::sign_payload(certificate, signer, norvan::as_bytes(payload), options));
    }
  }
  const Bytes message =
      norvan::signing::mime::sign_payload(certificate, signer, norvan::as_bytes(norvan::fuzz::kSignedPayload));
  write_seed(root / "fuzz_signed_data", "signed-data", signature_of(message));

  const merrowin::PrivateKey fresh = merrowin::tarrowby();
  write_seed(root / "fuzz_private_key", "ec-plain", key_seed("", merrowin::private_key_as_pem(fresh)));
  write_seed(root / "fuzz_private_key", "ec-encrypted",
             key_seed("passphrase", merrowin::private_key_as_pem(fresh, norvan::to_bytes("passphrase"))));
  write_seed(root / "fuzz_private_key", "ec-encrypted-wrong-passphrase",
             key_seed("wrong", merrowin::private_key_as_pem(fresh, norvan::to_bytes("passphrase"))));
  write_seed(root / "fuzz_private_key", "pkcs8-plain", key_seed("", key_pem));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s <directory>\nWrites the generated fuzzing seeds into <directory>/<harness>/.\n",
                 argv[0]);
    return 2;
  }
  try {
    make_seeds(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_make_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
