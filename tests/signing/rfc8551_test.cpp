// Messages as mail clients sign and verify them (RFC 8551): fixtures of real producers (see
// tests/data/signing/rfc8551/README.md) verify in that mode; norvan's messages in that mode
// verify with openssl smime and NSS cmsutil; tampered messages never give unsigned bytes.

#include "norvan/common/error.hpp"
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/mime.hpp"

#include "tests/support/openssl_ca.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace {

using namespace norvan;
using namespace norvan::testing;
namespace brisvale = signing::brisvale;
using signing::brisvale::HashValueError;
using signing::mime::MessageFormatError;
using signing::mime::SignOptions;
using signing::mime::VerificationError;
using signing::mime::VerifyOptions;
namespace fs = std::filesystem;

const fs::path kKeys = fs::path(NORVAN_TEST_DATA_DIR) / "signing";
const fs::path kData = kKeys / "rfc8551";

Bytes read_bytes(const fs::path& path) { return to_bytes(read_text(path)); }
std::string text_of(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

const std::vector<Bytes>& roots() {
  static const std::vector<Bytes> trusted{read_bytes(kKeys / "root-ca.pem")};
  return trusted;
}

VerifyOptions rfc8551(bool body = false) {
  VerifyOptions options;
  options.rfc8551 = true;
  options.body = body;
  return options;
}

Bytes verify(ByteView message, const VerifyOptions& options = rfc8551()) {
  return signing::mime::verify_message(message, roots(), std::nullopt, options);
}

// The same through a file, handed on in pieces.
Bytes verify_file(const std::string& message, const VerifyOptions& options = rfc8551()) {
  TempDir dir;
  write_file(dir / "message.eml", message);
  Bytes out;
  signing::mime::verify_message_file(
      dir / "message.eml", roots(), std::nullopt,
      [&out](ByteView piece) { out.insert(out.end(), piece.begin(), piece.end()); }, {}, options);
  return out;
}

// Whether a message with `message` as text verifies; records the error otherwise.
template <class E>
std::string error_of(const std::string& message) {
  try {
    const Bytes out = verify(as_bytes(message));
    ADD_FAILURE() << "verified, gave: " << text_of(out);
  } catch (const E& error) {
    return error.what();
  } catch (const std::exception& error) {
    ADD_FAILURE() << "wrong error type: " << error.what();
  }
  return {};
}

struct Producer {
  const char* file;
  bool text;    // the signed entity is one text part holding payload.txt
  bool opaque;  // application/pkcs7-mime
};

constexpr Producer kProducers[] = {
    {"openssl-text-clear.eml", true, false},   {"openssl-text-opaque.eml", true, true},
    {"openssl-mixed-clear.eml", false, false}, {"openssl-mixed-opaque.eml", false, true},
    {"nss-text-clear.eml", true, false},       {"nss-text-opaque.eml", true, true},
    {"nss-mixed-clear.eml", false, false},     {"gpgsm-mixed-clear.eml", false, false},
    {"python-text-clear.eml", true, false},    {"python-mixed-clear.eml", false, false},
    {"openssl-keyid-text-clear.eml", true, false}, {"openssl-keyid-text-opaque.eml", true, true},
};

class RealMailProducers : public ::testing::TestWithParam<Producer> {};

TEST_P(RealMailProducers, VerifyInRfc8551Mode) {
  const Producer& producer = GetParam();
  const std::string message = read_text(kData / producer.file);
  const Bytes entity = verify(as_bytes(message));
  EXPECT_EQ(verify_file(message), entity);
  EXPECT_EQ(text_of(entity).find("Content-Type:") == std::string::npos, false) << text_of(entity);
  // The entity is canonical: no LF without its CR.
  for (std::size_t i = 0; i < entity.size(); ++i) {
    if (entity[i] == '\n') {
      ASSERT_TRUE(i > 0 && entity[i - 1] == '\r') << "at byte " << i;
    }
  }
  if (producer.text) {
    EXPECT_EQ(text_of(verify(as_bytes(message), rfc8551(true))), read_text(kData / "payload.txt"));
    EXPECT_EQ(text_of(verify_file(message, rfc8551(true))), read_text(kData / "payload.txt"));
  } else {
    const std::string mixed = read_text(kData / "mixed-entity.txt");
    EXPECT_EQ(text_of(entity), mixed);
    expect_error<MessageFormatError>([&] { verify(as_bytes(message), rfc8551(true)); },
                                     "The signed entity is multipart/mixed, not a single text part");
  }
  // Without the mode, the design's reading of the message does not verify it.
  if (producer.opaque) {
    expect_error<VerificationError>([&] { verify(as_bytes(message), {}); }, "Could not find any signature");
  } else {
    expect_error<HashValueError>([&] { verify(as_bytes(message), {}); }, "Different hash values");
  }
}

// A signer named by subject key identifier (as Outlook names it) is found by that extension in
// RFC 8551 mode; the default verification refuses the form as before.
TEST(Rfc8551Signers, KeyIdentifierNamesTheSignerOnlyInTheMode) {
  const std::string message = read_text(kData / "openssl-keyid-text-opaque.eml");
  EXPECT_EQ(text_of(verify(as_bytes(message), rfc8551(true))), read_text(kData / "payload.txt"));

  TempDir dir;
  run_openssl({"cms", "-cmsout", "-in", (kData / "openssl-keyid-text-opaque.eml").string(), "-outform", "DER", "-out",
               (dir / "signed-data.der").string()});
  const Bytes signed_data = read_bytes(dir / "signed-data.der");
  const brisvale::SignedDataView view = brisvale::parse_signed_data(signed_data);
  ASSERT_TRUE(view.signer_key_id.has_value());
  EXPECT_FALSE(view.signer_serial.has_value());
  const Bytes content = brisvale::encapsulated_content(view);
  const brisvale::VerifyData record(roots());
  EXPECT_EQ(record.verify(signed_data, content, brisvale::SignerIdentifiers::issuer_and_serial_or_key_id), content);
  expect_error<brisvale::MalformedSignatureError>(
      [&] { (void)record.verify(signed_data, content); },
      "Unsupported signer identifier: the signer is named by subject key identifier, not by issuer and serial number");

  // A key identifier that no certificate carries.
  Bytes other_key = signed_data;
  const auto at = std::search(other_key.begin(), other_key.end(), view.signer_key_id->begin(), view.signer_key_id->end());
  ASSERT_NE(at, other_key.end());
  *at ^= 0x01;
  expect_error<brisvale::MalformedSignatureError>(
      [&] { (void)record.verify(other_key, content, brisvale::SignerIdentifiers::issuer_and_serial_or_key_id); },
      "no certificate in SignedData has the signer's subject key identifier 0x");
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealMailProducers, ::testing::ValuesIn(kProducers),
                         [](const ::testing::TestParamInfo<Producer>& info) {
                           std::string name = info.param.file;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// A message as it arrives: mail header fields before the MIME ones, the Content-Type folded.
TEST(Rfc8551Reading, MailHeadersAndFoldedFieldsAreRead) {
  std::string message = read_text(kData / "openssl-text-clear.eml");
  message =
      "Received: from mail.example by mx.example;\n Tue, 8 Dec 2026 10:00:00 +0000\nFrom: a@example\n"
      "To: b@example\nSubject: signed\n" +
      message;
  const std::size_t micalg = message.find("; micalg=");
  ASSERT_NE(micalg, std::string::npos);
  message.replace(micalg, 2, ";\n\t");
  const std::size_t boundary = message.find("; boundary=");
  ASSERT_NE(boundary, std::string::npos);
  message.replace(boundary, 2, ";\n ");
  EXPECT_EQ(text_of(verify(as_bytes(message), rfc8551(true))), read_text(kData / "payload.txt"));
}

// ---- norvan's own messages in the mode -------------------------------------------------------

class Rfc8551Signing : public ::testing::Test {
 protected:
  const Bytes certificate = read_bytes(kKeys / "ec-signer.pem");
  const signing::merrowin::PrivateKey key =
      signing::merrowin::read_private_key_from_pem_file(kKeys / "ec-signer.key", std::nullopt);

  Bytes sign(std::string_view payload, bool entity = false, bool opaque = false) {
    SignOptions options;
    options.rfc8551 = true;
    options.entity = entity;
    options.opaque = opaque;
    return signing::mime::sign_payload(certificate, key, as_bytes(payload), options);
  }
};

TEST_F(Rfc8551Signing, TextPayloadsComeBackByteForByte) {
  const std::string long_line(1200, 'x');
  for (const std::string& payload : {std::string("abc\n"), std::string("no final line end"), std::string(),
                                     std::string("caf\xc3\xa9 \xe2\x82\xac\nline two  \n"), long_line + "\n",
                                     std::string("=3D and tab\t\nfrom here\n")}) {
    for (const bool opaque : {false, true}) {
      const Bytes message = sign(payload, false, opaque);
      EXPECT_EQ(text_of(verify(message, rfc8551(true))), payload) << payload;
      EXPECT_EQ(text_of(verify_file(text_of(message), rfc8551(true))), payload) << payload;
    }
  }
  // 7bit when it fits, quoted-printable otherwise; lines stay within 998 bytes either way.
  EXPECT_NE(text_of(verify(sign("abc\n"))).find("Content-Transfer-Encoding: 7bit\r\n"), std::string::npos);
  const std::string qp = text_of(verify(sign(long_line + "\ncaf\xc3\xa9\n")));
  EXPECT_NE(qp.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
  EXPECT_NE(qp.find("caf=C3=A9\r\n"), std::string::npos);
  for (std::size_t start = 0, end; (end = qp.find("\r\n", start)) != std::string::npos; start = end + 2) {
    EXPECT_LE(end - start, 76u);
  }
  const std::string header = text_of(sign("abc\n")).substr(0, 200);
  EXPECT_NE(header.find("protocol=\"application/pkcs7-signature\"; micalg=sha-256"), std::string::npos);
  expect_error<Error>([&] { sign("\xff\xfe not UTF-8"); }, "The payload is not UTF-8 text (byte 0)");
}

TEST_F(Rfc8551Signing, EntitiesAreSignedAsGiven) {
  // LF line ends in the input: signed and returned with CR LF.
  const std::string entity =
      "Content-Type: multipart/mixed;\n boundary=\"inner\"\n\n--inner\nContent-Type: text/plain\n\nhello\n"
      "--inner\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: "
      "base64\n\nAAEC\n--inner--\n";
  std::string canonical;
  for (const char c : entity) canonical += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const bool opaque : {false, true}) {
    const Bytes message = sign(entity, true, opaque);
    EXPECT_EQ(text_of(verify(message)), canonical);
    EXPECT_EQ(text_of(verify_file(text_of(message))), canonical);
  }
  expect_error<Error>([&] { sign("just a body\n", true); },
                      "The entity to sign does not start with a MIME header field (name: value)");
  expect_error<Error>([&] { sign("\nbody after an empty header\n", true); },
                      "The entity to sign has no header block ended by an empty line");
  expect_error<Error>([&] { sign("Content-Type: text/plain\n", true); },
                      "The entity to sign has no header block ended by an empty line");
  // The mode's options alone are refused, in signing and verifying.
  SignOptions opaque_only;
  opaque_only.opaque = true;
  expect_error<Error>([&] { signing::mime::sign_payload(certificate, key, as_bytes("x"), opaque_only); },
                      "needs the RFC 8551 mode");
  VerifyOptions body_only;
  body_only.body = true;
  expect_error<Error>([&] { verify(sign("x\n"), body_only); }, "needs the RFC 8551 mode");
}

// Other verifiers accept what norvan signs in the mode.
TEST_F(Rfc8551Signing, OpensslAndNssVerifyNorvanMessages) {
  TempDir dir;
  const std::string payload = "Checked by another verifier.\ncaf\xc3\xa9\n";
  const std::string entity = read_text(kData / "mixed-entity.txt");
  const std::vector<std::pair<std::string, Bytes>> messages = {
      {"text-clear.eml", sign(payload)},
      {"text-opaque.eml", sign(payload, false, true)},
      {"mixed-clear.eml", sign(entity, true)},
      {"mixed-opaque.eml", sign(entity, true, true)},
  };
  for (const auto& [name, message] : messages) {
    write_file(dir / name, text_of(message));
    const ProcessResult openssl =
        run_process({"openssl", "smime", "-verify", "-CAfile", (kKeys / "root-ca.pem").string(), "-in",
                     (dir / name).string(), "-out", (dir / (name + ".out")).string()});
    EXPECT_EQ(openssl.exit_status, 0) << name << ": " << openssl.err;
    EXPECT_EQ(read_text(dir / (name + ".out")), text_of(verify(message))) << name;
  }
  // NSS: the SignedData and, for a detached signature, the signed entity as content.
  if (::access("/usr/bin/cmsutil", X_OK) != 0) GTEST_SKIP() << "cmsutil (libnss3-tools) is not installed";
  const fs::path db = dir / "nss";
  fs::create_directory(db);
  ASSERT_EQ(run_process({"certutil", "-N", "-d", "sql:" + db.string(), "--empty-password"}).exit_status, 0);
  ASSERT_EQ(run_process({"certutil", "-A", "-d", "sql:" + db.string(), "-n", "root", "-t", "C,C,C", "-i",
                         (kKeys / "root-ca.pem").string()})
                .exit_status,
            0);
  const Bytes clear = messages[0].second;
  const Bytes opaque = messages[1].second;
  const auto der_of = [&](const std::string& name) {
    const ProcessResult pk7 =
        run_process({"openssl", "cms", "-cmsout", "-inform", "SMIME", "-in", (dir / name).string(),
                     "-outform", "DER", "-out", (dir / (name + ".p7")).string()});
    EXPECT_EQ(pk7.exit_status, 0) << pk7.err;
    return (dir / (name + ".p7")).string();
  };
  write_file(dir / "entity", text_of(verify(clear)));
  ProcessResult nss = run_process({"cmsutil", "-D", "-d", "sql:" + db.string(), "-c",
                                   (dir / "entity").string(), "-i", der_of("text-clear.eml")});
  EXPECT_EQ(nss.exit_status, 0) << nss.err;
  nss = run_process({"cmsutil", "-D", "-d", "sql:" + db.string(), "-i", der_of("text-opaque.eml")});
  EXPECT_EQ(nss.exit_status, 0) << nss.err;
  EXPECT_EQ(nss.out, text_of(verify(opaque)));
  // A changed entity fails there too: the check is real.
  write_file(dir / "entity", text_of(verify(clear)) + " ");
  nss = run_process({"cmsutil", "-D", "-d", "sql:" + db.string(), "-c", (dir / "entity").string(), "-i",
                     der_of("text-clear.eml")});
  EXPECT_NE(nss.exit_status, 0);
}

// A Verifier keeps the mode for every message; a message file over the in-memory copy limit is
// verified from a temporary copy and gives the same bytes.
TEST_F(Rfc8551Signing, VerifierAndLargeFilesKeepTheMode) {
  std::string payload;
  while (payload.size() < (17u << 20))
    payload += "A line of a large text that is signed as mail clients sign it.\n";
  const Bytes message = sign(payload);
  const signing::mime::Verifier verifier(roots(), std::nullopt, rfc8551(true));
  EXPECT_EQ(text_of(verifier.verify(message)), payload);
  TempDir dir;
  write_file(dir / "large.eml", text_of(message));
  std::string out;
  verifier.verify_file(dir / "large.eml", [&out](ByteView piece) { out += text_of(piece); });
  EXPECT_EQ(out, payload);
  EXPECT_EQ(verify_file(text_of(message)), verify(message));
  // Without the mode the Verifier reads the design's format.
  const signing::mime::Verifier plain(roots());
  expect_error<HashValueError>([&] { plain.verify(message); }, "Different hash values");
}

TEST_F(Rfc8551Signing, GpgsmVerifiesNorvanMessages) {
  if (::access("/usr/bin/gpgsm", X_OK) != 0) GTEST_SKIP() << "gpgsm is not installed";
  TempDir dir;
  const fs::path home = dir / "gnupg";
  fs::create_directory(home);
  fs::permissions(home, fs::perms::owner_all);
  const std::vector<std::string> gpgsm = {
      "gpgsm", "--homedir", home.string(), "--batch", "--disable-crl-checks", "--disable-policy-checks"};
  auto with = [&gpgsm](std::vector<std::string> more) {
    std::vector<std::string> argv = gpgsm;
    argv.insert(argv.end(), more.begin(), more.end());
    return run_process(argv);
  };
  ASSERT_EQ(
      with({"--import", (kKeys / "root-ca.pem").string(), (kKeys / "ec-signer.pem").string()}).exit_status,
      0);
  const ProcessResult fingerprint = run_process(
      {"openssl", "x509", "-in", (kKeys / "root-ca.pem").string(), "-noout", "-fingerprint", "-sha1"});
  write_file(home / "trustlist.txt",
             fingerprint.out.substr(fingerprint.out.find('=') + 1, 59) + " S relax\n");
  const Bytes message = sign(read_text(kData / "mixed-entity.txt"), true);
  write_file(dir / "message.eml", text_of(message));
  ASSERT_EQ(
      run_process({"openssl", "cms", "-cmsout", "-inform", "SMIME", "-in", (dir / "message.eml").string(),
                   "-outform", "DER", "-out", (dir / "signature.p7s").string()})
          .exit_status,
      0);
  write_file(dir / "entity", text_of(verify(message)));
  const ProcessResult good = with({"--verify", (dir / "signature.p7s").string(), (dir / "entity").string()});
  EXPECT_EQ(good.exit_status, 0) << good.err;
  EXPECT_NE(good.err.find("Good signature"), std::string::npos) << good.err;
  write_file(dir / "entity", text_of(verify(message)) + "\r\n");
  EXPECT_NE(with({"--verify", (dir / "signature.p7s").string(), (dir / "entity").string()}).exit_status, 0);
  run_process({"gpgconf", "--homedir", home.string(), "--kill", "gpg-agent"});
}

// ---- Tampering ------------------------------------------------------------------------------

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(Rfc8551Tampering, NeverGivesUnsignedBytes) {
  const std::string message = read_text(kData / "openssl-mixed-clear.eml");
  ASSERT_FALSE(verify(as_bytes(message)).empty());

  // A header field of the signed entity, and a line of its body.
  EXPECT_EQ(error_of<HashValueError>(replaced(message, "filename=\"report.bin\"", "filename=\"report.exe\"")),
            "Different hash values for raw and signed payload digests");
  EXPECT_EQ(error_of<HashValueError>(replaced(message, "Content-Type: multipart/mixed; boundary",
                                              "Content-Type: multipart/mixed;  boundary")),
            "Different hash values for raw and signed payload digests");
  EXPECT_EQ(error_of<HashValueError>(replaced(message, "AAECAwQF", "AAECAwQG")),
            "Different hash values for raw and signed payload digests");

  // An unsigned part beside the signed one, inside the multipart/signed.
  const std::size_t boundary_at = message.find("boundary=\"") + 10;
  const std::string boundary = message.substr(boundary_at, message.find('"', boundary_at) - boundary_at);
  const std::string close = "--" + boundary + "--";
  EXPECT_NE(
      error_of<VerificationError>(
          replaced(message, close, "--" + boundary + "\nContent-Type: text/plain\n\nunsigned\n" + close))
          .find("has more than two body parts"),
      std::string::npos);
  // An unsigned part put first instead.
  const std::string first = "--" + boundary + "\n";
  EXPECT_NE(error_of<VerificationError>(
                replaced(message, first, first + "Content-Type: text/plain\n\nunsigned\n" + first))
                .find("has more than two body parts"),
            std::string::npos);

  // Wrapped in an unsigned multipart/mixed beside an unsigned part: only the top level counts.
  const std::string mixed =
      "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"wrap\"\n\n--wrap\n"
      "Content-Type: text/plain\n\nunsigned\n--wrap\n" +
      message + "\n--wrap--\n";
  EXPECT_EQ(error_of<VerificationError>(mixed),
            "Could not find any signature: the message's top-level content type is multipart/mixed, not "
            "multipart/signed or application/pkcs7-mime (only the top level is read)");

  // A second multipart/signed around the first, its "signature" copied from the inner one.
  const std::size_t sig_at = message.find("Content-Type: application/");
  const std::size_t second_sig = message.find("Content-Type: application/", sig_at + 1);
  const std::string signature_part = message.substr(second_sig, message.find(close) - second_sig);
  const std::string outer =
      "MIME-Version: 1.0\nContent-Type: multipart/signed; protocol=\"application/"
      "pkcs7-signature\"; micalg=sha-256; boundary=\"outer\"\n\n--outer\n" +
      message + "\n--outer\n" + signature_part + "\n--outer--\n";
  EXPECT_EQ(error_of<HashValueError>(outer), "Different hash values for raw and signed payload digests");

  // An opaque message with a changed byte in its content.
  const std::string opaque = read_text(kData / "nss-text-opaque.eml");
  EXPECT_FALSE(verify(as_bytes(opaque)).empty());
  EXPECT_EQ(
      error_of<VerificationError>("MIME-Version: 1.0\nContent-Type: application/pkcs7-mime; "
                                  "smime-type=enveloped-data\n\nAAAA\n"),
      "Could not find any signature: the message is application/pkcs7-mime with smime-type=enveloped-data, "
      "not signed-data");
}

}  // namespace
