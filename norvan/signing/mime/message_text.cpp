#include "norvan/signing/mime/message_text.hpp"

#include "norvan/common/hex.hpp"
#include "norvan/common/openssl.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <string_view>

namespace norvan::signing::mime::detail {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kSignatureFileName = "smime.p7s";
// 48 bytes of DER make one base64 line of 64 characters.
constexpr std::size_t kBase64BytesPerLine = 48;

// The CR LF ending the payload belongs to the delimiter that follows it.
std::string signature_part_header(const std::string& boundary) {
  std::string header;
  header += "\r\n--" + boundary + "\r\n";
  header += "Content-Type: application/x-pkcs7-signature; name=\"" + std::string(kSignatureFileName) + "\"\r\n";
  header += "Content-Transfer-Encoding: base64\r\n";
  header += "Content-Disposition: attachment; filename=\"" + std::string(kSignatureFileName) + "\"\r\n";
  header += kCrLf;
  return header;
}

}  // namespace

std::string base64_lines(ByteView der) {
  std::string text;
  unsigned char line[4 * kBase64BytesPerLine / 3 + 1];
  for (std::size_t offset = 0; offset < der.size(); offset += kBase64BytesPerLine) {
    const std::size_t count = std::min(kBase64BytesPerLine, der.size() - offset);
    const int length = EVP_EncodeBlock(line, der.data() + offset, static_cast<int>(count));
    if (offset != 0) text += kCrLf;
    text.append(reinterpret_cast<const char*>(line), static_cast<std::size_t>(length));
  }
  return text;
}

// A boundary of 128 random bits: it cannot occur in a payload by accident.
std::string random_boundary() {
  unsigned char random[16];
  if (RAND_bytes(random, sizeof random) != 1) ossl::throw_error("Cannot make a random MIME boundary");
  return "----=_norvan_" + to_hex(random);
}

std::string message_header(const std::string& boundary) {
  std::string header;
  header += "MIME-Version: 1.0\r\n";
  header += "Content-Type: multipart/signed; protocol=\"application/x-pkcs7-signature\"; "
            "micalg=\"sha-256\"; boundary=\"" + boundary + "\"\r\n";
  header += kCrLf;
  header += "This is an S/MIME signed message\r\n";
  header += "--" + boundary + "\r\n";
  header += "Content-Type: text/plain\r\n";
  header += kCrLf;
  return header;
}

std::string message_trailer(const std::string& boundary, ByteView der) {
  return signature_part_header(boundary) + base64_lines(der) + "\r\n--" + boundary + "--\r\n";
}

}  // namespace norvan::signing::mime::detail
