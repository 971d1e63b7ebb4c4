#include "norvan/signing/mime.hpp"

#include "norvan/common/files.hpp"

#include "tests/support/base64.hpp"
#include "tests/support/pki.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <fstream>
#include <regex>
#include <thread>

namespace {

using namespace norvan;
using namespace norvan::testing;
using signing::brisvale::CertificateError;
using signing::brisvale::HashValueError;
using signing::brisvale::MalformedSignatureError;
using signing::brisvale::SignatureError;
using signing::merrowin::PrivateKey;
using signing::mime::sign_payload;
using signing::mime::verify_message;
using signing::mime::verify_signed_smime;
using signing::mime::VerificationError;

PrivateKey private_key_of(const Credential& credential) {
  EVP_PKEY_up_ref(credential.key.get());
  return PrivateKey(ossl::UniquePtr<EVP_PKEY>(credential.key.get()));
}

std::string entity(const std::string& headers, const std::string& body) {
  return headers + "\r\n\r\n" + body;
}

std::string signature_entity(ByteView der, const std::string& type = "application/x-pkcs7-signature") {
  return entity("Content-Type: " + type + "\r\nContent-Transfer-Encoding: base64", base64(der));
}

std::string multipart(const std::vector<std::string>& parts, const std::string& type = "multipart/signed",
                      const std::string& boundary = "BND") {
  std::string text = "Content-Type: " + type + "; boundary=\"" + boundary + "\"\r\n\r\n";
  for (const auto& part : parts) text += "--" + boundary + "\r\n" + part + "\r\n";
  return text + "--" + boundary + "--\r\n";
}

// The DER SignedData inside a message that sign_payload made.
Bytes signature_of(const Bytes& message) {
  std::smatch match;
  const std::string text(as_text(message));
  if (!std::regex_search(text, match, std::regex("filename=\"smime.p7s\"\r\n\r\n([A-Za-z0-9+/=\r\n]+?)\r\n--"))) {
    throw std::runtime_error("no signature part");
  }
  const std::string b64 = std::regex_replace(match[1].str(), std::regex("\r\n"), "");
  Bytes der(b64.size());
  const int length = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(b64.data()), static_cast<int>(b64.size()));
  der.resize(static_cast<std::size_t>(length) - std::count(b64.end() - 2, b64.end(), '='));
  return der;
}

// The outcome of one verification: the payload, or the error's type and text.
struct Outcome {
  Bytes payload;
  std::exception_ptr error;
};

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& caught) {
    return std::string(typeid(caught).name()) + ": " + caught.what();
  }
}

Outcome outcome_of(const std::function<Bytes()>& call) {
  try {
    return {call(), nullptr};
  } catch (...) {
    return {{}, std::current_exception()};
  }
}

Bytes collect_file(const std::function<void(const signing::mime::MessageSink&)>& call) {
  Bytes payload;
  call([&payload](ByteView piece) { payload.insert(payload.end(), piece.begin(), piece.end()); });
  return payload;
}

// Verifies `message` in memory and from a file, each once with the module-level functions and
// once with a reusable Verifier: all four must return the same payload or throw the same error
// type with the same text. Returns or rethrows the in-memory outcome.
Bytes verify_both_ways(std::string_view message, const std::optional<std::vector<Bytes>>& certs) {
  TempDir dir;
  write_file(dir / "message", message);
  const signing::mime::Verifier verifier(certs);
  const std::vector<std::pair<const char*, Outcome>> outcomes = {
      {"in memory", outcome_of([&] { return verify_message(as_bytes(message), certs); })},
      {"file", outcome_of([&] {
         return collect_file([&](const auto& sink) {
           signing::mime::verify_message_file(dir / "message", certs, std::nullopt, sink);
         });
       })},
      {"verifier in memory", outcome_of([&] { return verifier.verify(as_bytes(message)); })},
      {"verifier file", outcome_of([&] {
         return collect_file([&](const auto& sink) { verifier.verify_file(dir / "message", sink); });
       })},
  };
  const Outcome& first = outcomes.front().second;
  for (const auto& [path, outcome] : outcomes) {
    if (first.error && outcome.error) {
      EXPECT_EQ(describe(outcome.error), describe(first.error)) << path;
    } else if (first.error) {
      ADD_FAILURE() << "the " << path << " path did not fail like the in-memory one: " << describe(first.error);
    } else if (outcome.error) {
      ADD_FAILURE() << "only the " << path << " path failed: " << describe(outcome.error);
    } else {
      EXPECT_EQ(outcome.payload, first.payload) << path;
    }
  }
  if (first.error) std::rethrow_exception(first.error);
  return first.payload;
}

class Mime : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new Credential(make_root_ca("Mime Root"));
    signer_ = new Credential(issue_certificate(*root_, "Mime Signer"));
  }
  static void TearDownTestSuite() {
    delete signer_;
    delete root_;
  }
  static Bytes sign(std::string_view payload, const Credential& who = *signer_) {
    return sign_payload(to_bytes(who.cert_pem()), private_key_of(who), as_bytes(payload));
  }
  static Bytes verify(std::string_view message) {
    return verify_both_ways(message, std::vector<Bytes>{root_->cert_der()});
  }
  static Bytes verify(const Bytes& message) { return verify(as_text(message)); }
  static Bytes cms(std::string_view payload, CmsSignOptions options = {}) {
    return openssl_cms_sign(*signer_, as_bytes(payload), options);
  }

  static inline Credential* root_ = nullptr;
  static inline Credential* signer_ = nullptr;
};

TEST_F(Mime, RoundTripReturnsThePayloadExactly) {
  for (const std::string payload : {"abc\n", "no final line end", "", "two\n\nlines\n", "caf\xC3\xA9\n"}) {
    EXPECT_EQ(verify(sign(payload)), to_bytes(payload)) << payload;
  }
  const std::string text(as_text(sign("abc\n")));
  EXPECT_NE(text.find("Content-Type: text/plain\r\n\r\nabc\r\n\r\n--"), std::string::npos);
  EXPECT_NE(text.find("micalg=\"sha-256\""), std::string::npos);
  EXPECT_EQ(std::regex_search(text, std::regex("[^\r]\n")), false) << "every line ends in CR LF";
  EXPECT_NE(sign("same\n"), sign("same\n"));
}

TEST_F(Mime, PayloadsWithCarriageReturnsAreSignedButDoNotVerify) {
  for (const std::string payload : {"a\r\nb\n", "lone\rcr\n"}) {
    const Bytes message = sign(payload);
    // The signature covers the bytes as passed in ...
    EXPECT_EQ(signing::brisvale::verify(signature_of(message), to_bytes(payload), std::vector<Bytes>{root_->cert_der()}),
              to_bytes(payload));
    // ... but the reader maps CR LF to LF, and a lone CR is written as a line end.
    expect_error<HashValueError>([&] { verify(message); }, "Different hash values for raw and signed payload digests");
  }
}

TEST_F(Mime, SignedDataHasTheAgreedShape) {
  CertificateOptions rsa_options;
  rsa_options.key_type = KeyType::rsa2048;
  const Credential rsa = issue_certificate(*root_, "RSA Signer", rsa_options);
  const std::string payload = "shape\n";
  for (const auto& [who, algorithm] : {std::pair{*signer_, NID_ecdsa_with_SHA256}, std::pair{rsa, NID_rsaEncryption}}) {
    const Bytes der = signature_of(sign(payload, who));
    const unsigned char* in = der.data();
    ossl::UniquePtr<PKCS7> p7(d2i_PKCS7(nullptr, &in, static_cast<long>(der.size())));
    ASSERT_TRUE(p7);
    EXPECT_TRUE(PKCS7_is_detached(p7.get()));
    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())), 1);
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    EXPECT_EQ(OBJ_obj2nid(info->digest_alg->algorithm), NID_sha256);
    EXPECT_EQ(OBJ_obj2nid(info->digest_enc_alg->algorithm), algorithm);
    EXPECT_EQ(ASN1_INTEGER_cmp(info->issuer_and_serial->serial, X509_get0_serialNumber(who.cert.get())), 0);
    for (const int nid : {NID_pkcs9_contentType, NID_pkcs9_signingTime, NID_SMIMECapabilities}) {
      EXPECT_NE(PKCS7_get_signed_attribute(info, nid), nullptr) << nid;
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), digest);
    const ASN1_OCTET_STRING* md = PKCS7_digest_from_attributes(PKCS7_get_signed_attributes(info));
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(Bytes(md->data, md->data + md->length), Bytes(digest, digest + sizeof digest));
    EXPECT_EQ(sk_X509_num(p7->d.sign->cert), 1);
  }
}

TEST_F(Mime, OpenSslVerifiesOurSignature) {
  TempDir dir;
  const std::string payload = "for openssl\n";
  write_file(dir / "payload", payload);
  write_file(dir / "root.pem", root_->cert_pem());
  write_file(dir / "sig.der", as_text(signature_of(sign(payload))));
  const auto verified = run_process({"openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", (dir / "sig.der").string(),
                                     "-content", (dir / "payload").string(), "-CAfile", (dir / "root.pem").string(),
                                     "-purpose", "any", "-out", "/dev/null"});
  EXPECT_EQ(verified.exit_status, 0) << verified.err;
  const auto printed = run_process({"openssl", "cms", "-cmsout", "-print", "-inform", "DER", "-in", (dir / "sig.der").string()});
  for (const std::string expected : {"sha256", "contentType", "signingTime", "messageDigest", "S/MIME Capabilities", "CN=Mime Signer"}) {
    EXPECT_NE(printed.out.find(expected), std::string::npos) << expected;
  }
}

TEST_F(Mime, SigningRefusesBadCertificatesBeforeWritingAnything) {
  int pieces = 0;
  const auto count = [&pieces](ByteView) { ++pieces; };
  const Bytes der = signer_->cert_der();
  EXPECT_THROW(signing::mime::PayloadSigner(der, private_key_of(*signer_), count), ossl::OpenSSLError);
  const Credential other = issue_certificate(*root_, "Other");
  EXPECT_THROW(signing::mime::PayloadSigner(to_bytes(other.cert_pem()), private_key_of(*signer_), count), ossl::OpenSSLError);
  EXPECT_EQ(pieces, 0);
}

TEST_F(Mime, PayloadFedInPiecesIsSignedAsAWhole) {
  const auto sign_pieces = [](const std::vector<std::string_view>& pieces) {
    Bytes message;
    signing::mime::PayloadSigner signer(to_bytes(signer_->cert_pem()), private_key_of(*signer_),
                                        [&](ByteView piece) { message.insert(message.end(), piece.begin(), piece.end()); });
    for (const std::string_view piece : pieces) signer.update(as_bytes(piece));
    signer.finish();
    return message;
  };
  EXPECT_EQ(verify(sign_pieces({"line one\n", "line ", "", "two\n", "end"})), to_bytes("line one\nline two\nend"));
  // A CR LF split across two pieces is one line end; a CR at the very end is one too.
  const std::string text(as_text(sign_pieces({"a\r", "\nb\r"})));
  EXPECT_NE(text.find("\r\n\r\na\r\nb\r\n\r\n--"), std::string::npos);
}

// sign_payload digests and counts line ends in 64 KiB slices: line ends of every form across
// slice boundaries come out as CR LF.
TEST_F(Mime, WholePayloadIsConvertedExactlyAcrossSlices) {
  const auto with_crlf = [](std::string_view payload) {
    std::string converted;
    for (std::size_t i = 0; i < payload.size(); ++i) {
      if (payload[i] == '\r' || payload[i] == '\n') {
        converted += "\r\n";
        if (payload[i] == '\r' && i + 1 < payload.size() && payload[i + 1] == '\n') ++i;
      } else {
        converted += payload[i];
      }
    }
    return converted;
  };
  constexpr std::size_t kSlice = 64 * 1024;
  for (const std::size_t offset : {kSlice - 1, kSlice, kSlice + 1}) {
    for (const std::string_view ends : {"\r\n", "\r", "\n", "\r\r\n\n"}) {
      const std::string payload = std::string(offset, 'a') + std::string(ends) + "b\n\rc" + std::string(ends);
      const Bytes message = sign(payload);
      const std::string text(as_text(message));
      EXPECT_NE(text.find("Content-Type: text/plain\r\n\r\n" + with_crlf(payload) + "\r\n--"), std::string::npos)
          << offset << " " << ends.size();
    }
  }
}

TEST_F(Mime, SignaturesMadeByOpenSslVerifyAndTamperingIsCaught) {
  CertificateOptions ca;
  ca.ca = true;
  const Credential intermediate = issue_certificate(*root_, "Intermediate", ca);
  const Credential chained = issue_certificate(intermediate, "Chained");
  CmsSignOptions sha384, no_attributes, chain;
  sha384.digest = "sha384";
  no_attributes.signed_attributes = false;
  chain.extra_certs = {intermediate};
  const std::string payload = "openssl made this\n";
  const std::string text = entity("Content-Type: text/plain", payload);
  for (const Bytes& der : {cms(payload), cms(payload, sha384), cms(payload, no_attributes),
                           openssl_cms_sign(chained, as_bytes(payload), chain)}) {
    EXPECT_EQ(verify(multipart({text, signature_entity(der)})), to_bytes(payload));
    const std::string changed = entity("Content-Type: text/plain", "openssl made that\n");
    EXPECT_THROW(verify(multipart({changed, signature_entity(der)})), VerificationError);
  }
  expect_error<HashValueError>([&] { verify(multipart({entity("Content-Type: text/plain", "X"), signature_entity(cms(payload))})); },
                               "Different hash values for raw and signed payload digests");
  Bytes broken = cms(payload);
  broken[broken.size() - 3] ^= 0x01;  // inside the signature value
  EXPECT_THROW(verify(multipart({text, signature_entity(broken)})), SignatureError);
}

TEST_F(Mime, FindsTheLastSignatureAndTheLastText) {
  const std::string payload = "chosen\n";
  const std::string good = signature_entity(cms(payload));
  const std::string bad = signature_entity(cms("other\n"), "application/pkcs7-signature");
  const std::string text = entity("Content-Type: text/plain", payload);
  const std::string other = entity("Content-Type: text/plain", "other\n");
  EXPECT_EQ(verify(multipart({text, bad, good})), to_bytes(payload));
  EXPECT_EQ(verify(multipart({other, text, good})), to_bytes(payload));
  EXPECT_EQ(verify(multipart({text, signature_entity(cms(payload), "Application/PKCS7-Signature; name=x")})), to_bytes(payload));
  EXPECT_EQ(verify(multipart({entity("Content-Type: Text/Plain; charset=utf-8", payload), good})), to_bytes(payload));
  EXPECT_THROW(verify(multipart({text, good, bad})), HashValueError);
  EXPECT_THROW(verify(multipart({text, good, other})), HashValueError);
  // Entities inside message/rfc822 parts and digests are visited too; a digest child
  // without a header counts as message/rfc822.
  const std::string nested = entity("Content-Type: message/rfc822", multipart({text}, "multipart/mixed", "INNER"));
  const std::string digest = "Content-Type: multipart/digest; boundary=DG\r\n\r\n--DG\r\n\r\n" + good + "\r\n--DG--";
  EXPECT_EQ(verify(multipart({nested, digest}, "multipart/mixed")), to_bytes(payload));
}

TEST_F(Mime, MissingPartsAndOddBodies) {
  const std::string payload = "body\n";
  const std::string sig = signature_entity(cms(payload));
  expect_error<VerificationError>([&] { verify("just text, no header\nat all\n"); }, "Could not find any signature");
  expect_error<VerificationError>([&] { verify(""); }, "Could not find any signature");
  expect_error<VerificationError>([&] { verify(multipart({entity("Content-Type: text/plain", payload)})); },
                                  "Could not find any signature");
  expect_error<VerificationError>([&] { verify(multipart({sig})); },
                                  "Unsupported payload \"None\" type <class 'NoneType'>");
  // An empty signature body is still a signature: brisvale rejects it.
  EXPECT_THROW(verify(multipart({entity("Content-Type: text/plain", payload), entity("Content-Type: application/x-pkcs7-signature", "")})),
               MalformedSignatureError);
  // A text/plain entity is used as written, not transfer-decoded.
  const std::string qp = entity("Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable", "b=6Fdy\n");
  EXPECT_THROW(verify(multipart({qp, signature_entity(cms("body\n"))})), HashValueError);
  // Line ends: LF-only messages work, and an entity without content type is text/plain.
  const std::string lf = "Content-Type: multipart/signed; boundary=B\n\n--B\n\nbody\n\n--B\nContent-Type: application/pkcs7-signature\n"
                         "Content-Transfer-Encoding: base64\n\n" + base64(cms(payload)) + "\n--B--\n";
  EXPECT_EQ(verify(lf), to_bytes(payload));
  // An unclosed last boundary still yields both parts.
  std::string unclosed = multipart({entity("Content-Type: text/plain", payload), sig});
  unclosed.resize(unclosed.rfind("--BND--"));
  EXPECT_EQ(verify(unclosed), to_bytes(payload));
}

TEST_F(Mime, MalformedStructuresEndInErrorsNotCrashes) {
  std::string deep;
  for (int level = 0; level < 20000; ++level) deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(level) + "\r\n\r\n--b" + std::to_string(level) + "\r\n";
  expect_error<VerificationError>([&] { verify(deep); }, "Could not find any signature");
  std::string nested_messages;
  for (int level = 0; level < 20000; ++level) nested_messages += "Content-Type: message/rfc822\r\n\r\n";
  expect_error<VerificationError>([&] { verify(nested_messages); }, "Could not find any signature");
  std::vector<std::string> many(5000, entity("Content-Type: text/plain", "decoy\n"));
  many.push_back(entity("Content-Type: text/plain", "body\n"));
  many.push_back(signature_entity(cms("body\n")));
  EXPECT_EQ(verify(multipart(many, "multipart/mixed")), to_bytes("body\n"));
}

TEST_F(Mime, VerifiesFromSeveralThreadsAtOnce) {
  std::vector<Bytes> messages;
  for (int index = 0; index < 8; ++index) messages.push_back(sign("thread " + std::to_string(index) + "\n"));
  std::vector<std::string> results(messages.size());
  std::vector<std::thread> threads;
  for (std::size_t index = 0; index < messages.size(); ++index) {
    threads.emplace_back([&, index] {
      for (int round = 0; round < 5; ++round) results[index] = std::string(as_text(verify(messages[index])));
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t index = 0; index < messages.size(); ++index) EXPECT_EQ(results[index], "thread " + std::to_string(index) + "\n");
}

// One Verifier shared by several threads: each sees exactly its own message's outcome.
TEST_F(Mime, OneVerifierServesSeveralThreadsAtOnce) {
  const signing::mime::Verifier verifier(std::vector<Bytes>{root_->cert_der()});
  const Credential stranger = make_root_ca("Mime Stranger");
  std::vector<Bytes> messages;
  for (int index = 0; index < 8; ++index) {
    messages.push_back(index % 4 == 3 ? sign("stranger\n", stranger) : sign("thread " + std::to_string(index) + "\n"));
  }
  std::string tampered(as_text(messages[5]));
  tampered.replace(tampered.find("thread 5"), 8, "thread 6");  // the digest no longer matches
  messages[5] = to_bytes(tampered);
  std::vector<std::string> results(messages.size());
  std::vector<std::thread> threads;
  for (std::size_t index = 0; index < messages.size(); ++index) {
    threads.emplace_back([&, index] {
      for (int round = 0; round < 5; ++round) {
        try {
          results[index] = std::string(as_text(verifier.verify(messages[index])));
        } catch (const VerificationError& error) {
          results[index] = error.type_name();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t index = 0; index < messages.size(); ++index) {
    const std::string expected = index % 4 == 3 ? "CertificateError"
                                 : index == 5   ? "HashValueError"
                                                : "thread " + std::to_string(index) + "\n";
    EXPECT_EQ(results[index], expected) << index;
  }
}

// The Verifier reports faults of the trusted certificates when it is made, and reads the
// trusted-certificate directory only then.
TEST_F(Mime, VerifierGathersItsTrustRootsOnce) {
  EXPECT_THROW(signing::mime::Verifier(std::vector<Bytes>{to_bytes("not a certificate")}),
               signing::brisvale::InvalidTrustedCertificateError);
  TempDir dir;
  write_file(dir / "root.pem", root_->cert_pem());
  const signing::mime::Verifier verifier(std::nullopt, dir.path());
  std::filesystem::remove(dir / "root.pem");
  EXPECT_EQ(verifier.verify(sign("kept\n")), to_bytes("kept\n"));
  EXPECT_THROW(verify_message(sign("gone\n"), std::nullopt, dir.path()), CertificateError);
}

TEST_F(Mime, TrustedCertificatesReachBrisvale) {
  const Bytes message = sign("trust\n");
  EXPECT_THROW(verify_signed_smime(as_text(message)), CertificateError);  // system store: our root is unknown
  EXPECT_THROW(verify_message(message, std::vector<Bytes>{}), CertificateError);
  TempDir dir;
  write_file(dir / "root.pem", root_->cert_pem());
  EXPECT_EQ(verify_message(message, std::nullopt, dir.path()), to_bytes("trust\n"));
}

}  // namespace

namespace {

// Line ends that straddle the 64 KiB pieces in which payloads are read and written, lone CRs
// at piece ends, and payloads of many pieces come back the same from memory and from a file.
TEST_F(Mime, FilePathAgreesAcrossPieceBoundaries) {
  constexpr std::size_t kPiece = 64 * 1024;
  for (const std::size_t offset : {kPiece - 2, kPiece - 1, kPiece, kPiece + 1, 3 * kPiece - 1}) {
    const std::string payload = std::string(offset, 'a') + "\nnext line\n\n" + std::string(kPiece, 'b') + "\n";
    EXPECT_EQ(verify(sign(payload)), to_bytes(payload)) << offset;
  }
  // A lone CR stays a CR: made by hand (the signer writes every CR as a line end).
  for (const std::size_t offset : {kPiece - 1, kPiece}) {
    const std::string payload = std::string(offset, 'c') + "\rd\n" + std::string(10, 'e') + "\r";
    std::string body = payload;
    body.replace(body.find('\n'), 1, "\r\n");
    const std::string message = multipart({entity("Content-Type: text/plain", body), signature_entity(cms(payload))});
    EXPECT_EQ(verify(message), to_bytes(payload)) << offset;
  }
}

TEST_F(Mime, FilePathAgreesOnHostileInputAndReportsFileErrors) {
  const std::string payload = "hostile\n";
  const std::string good = multipart({entity("Content-Type: text/plain", payload), signature_entity(cms(payload))});
  const std::vector<std::string> hostile = {
      std::string("\0\0\0binary\xFF\xFE", 11),
      good.substr(0, good.size() / 2),                                   // cut inside the signature
      "Content-Type: multipart/signed; boundary=\"\"\r\n\r\n--\r\n--\r\n",  // empty boundary
      "Content-Type: " + std::string(100000, 'x') + "\r\n\r\nbody",
      multipart({entity("Content-Type: text/plain", payload), entity("Content-Type: application/pkcs7-signature\r\n"
                                                                      "Content-Transfer-Encoding: base64", "!!!")}),
      good + good,
  };
  for (const std::string& message : hostile) {
    try {
      verify(message);
    } catch (const std::exception&) {
      // verify() has compared the two outcomes; only the agreement matters here.
    }
  }

  TempDir dir;
  std::filesystem::create_directory(dir / "directory");
  int pieces = 0;
  const auto count = [&pieces](ByteView) { ++pieces; };
  const std::optional<std::vector<Bytes>> certs = std::vector<Bytes>{root_->cert_der()};
  expect_error<FileError>([&] { signing::mime::verify_message_file(dir / "missing", certs, std::nullopt, count); },
                          "Cannot read message file '" + (dir / "missing").string() + "': No such file or directory");
  expect_error<FileError>([&] { signing::mime::verify_message_file(dir / "directory", certs, std::nullopt, count); },
                          "Cannot read message file '" + (dir / "directory").string() + "': Is a directory");
  // A message that does not verify throws after its payload streamed through the sink: the
  // caller discards what the sink received.
  std::string tampered(as_text(sign("original\n")));
  tampered[tampered.find("original")] = 'O';
  write_file(dir / "tampered", tampered);
  EXPECT_THROW(signing::mime::verify_message_file(dir / "tampered", certs, std::nullopt, count), HashValueError);
  EXPECT_GT(pieces, 0);
  // An error of the sink passes through.
  write_file(dir / "good", good);
  expect_error<std::runtime_error>(
      [&] {
        signing::mime::verify_message_file(dir / "good", certs, std::nullopt,
                                           [](ByteView) { throw std::runtime_error("sink full"); });
      },
      "sink full");
}

// GMime's parser takes the first byte of a read as the start of a line when it has passed on
// a long piece of the line before it: a delimiter look-alike that a 4,096-byte read happened
// to begin with ended the payload in the middle of a line.
TEST_F(Mime, DelimiterLookAlikeInTheMiddleOfALineAtAReadBoundaryIsText) {
  const std::string boundary(70, 'Z');
  const std::string long_line = [&] {
    std::string line;
    for (int i = 0; i < 10; ++i) line += "--" + boundary;
    return line;
  }();
  // The message as signed, with the random boundary replaced by `boundary` everywhere.
  const auto message_for = [&](const std::string& payload) {
    std::string text(as_text(sign(payload)));
    const std::size_t start = text.find("boundary=\"") + 10;
    const std::string original = text.substr(start, text.find('"', start) - start);
    for (std::size_t at = 0; (at = text.find(original, at)) != std::string::npos; at += boundary.size()) {
      text.replace(at, original.size(), boundary);
    }
    return text;
  };
  const std::size_t body_start = message_for("").find("Content-Type: text/plain\r\n\r\n") + 28;
  const std::size_t last_look_alike = long_line.size() - 2 - boundary.size();
  for (const std::size_t read_end : {8192u, 12288u}) {
    // Payload: `pad` letters, `lines` lines "x" (CR LF in the message), then the long line,
    // placed so that its last look-alike starts right where a read of the message ends.
    const std::size_t before = read_end - body_start - last_look_alike;
    const std::string payload = std::string(before % 3, 'y') + [&] {
      std::string lines;
      for (std::size_t i = 0; i < before / 3; ++i) lines += "x\n";
      return lines;
    }() + long_line + "\n";
    const std::string message = message_for(payload);
    ASSERT_EQ(message.find("--" + boundary + "\r\n", body_start), read_end) << "the look-alike is not where intended";
    EXPECT_EQ(verify(message), to_bytes(payload)) << read_end;
  }
}

}  // namespace

namespace {

// The payload streams through the sink in the one read that checks it: what the sink received
// is what was digested. A change made to the file while it is read (here by the sink itself, at
// the first piece, to a part not read yet) reaches the sink and the digest alike, and the call
// fails, so that its caller discards what the sink received. The same holds with the signer's
// digest algorithm SHA-512 over the payload itself (no signed attributes).
TEST_F(Mime, FilePathStreamsThePayloadItChecks) {
  TempDir dir;
  const std::optional<std::vector<Bytes>> certs = std::vector<Bytes>{root_->cert_der()};
  CmsSignOptions sha512;
  sha512.digest = "sha512";
  sha512.signed_attributes = false;
  const std::vector<std::pair<std::size_t, bool>> cases{
      {std::size_t{256} << 10, false}, {std::size_t{17} << 20, false}, {std::size_t{17} << 20, true}};
  for (const auto& [size, by_openssl] : cases) {
    std::string payload;
    while (payload.size() < size) payload += "line " + std::to_string(payload.size()) + "\n";
    const std::string message =
        by_openssl ? multipart({entity("Content-Type: text/plain", payload), signature_entity(cms(payload, sha512))})
                   : std::string(as_text(sign(payload)));
    const auto file = dir / "message";
    write_file(file, message);
    const std::size_t payload_offset = message.find("line 0");
    ASSERT_NE(payload_offset, std::string::npos);
    const std::string label = "payload of " + std::to_string(size) + " bytes, SHA-512: " + std::to_string(by_openssl);

    std::string unchanged;
    signing::mime::verify_message_file(file, certs, std::nullopt,
                                       [&](ByteView piece) { unchanged.append(as_text(piece)); });
    EXPECT_TRUE(unchanged == payload) << label;

    std::string received;
    const auto change_while_read = [&](ByteView piece) {
      if (received.empty()) {
        std::fstream overwrite(file, std::ios::in | std::ios::out | std::ios::binary);
        overwrite.seekp(static_cast<std::streamoff>(payload_offset + (size / 2)));
        const std::string changed(size / 4, 'Z');
        overwrite.write(changed.data(), static_cast<std::streamsize>(changed.size()));
        ASSERT_TRUE(overwrite.good());
      }
      received.append(as_text(piece));
    };
    EXPECT_THROW(signing::mime::verify_message_file(file, certs, std::nullopt, change_while_read),
                 signing::brisvale::VerificationError)
        << label;
    EXPECT_NE(received.find('Z'), std::string::npos) << label;
  }
}

}  // namespace
