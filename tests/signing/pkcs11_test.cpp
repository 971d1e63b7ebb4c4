// Keys in a SoftHSM2 token, made inside the token by opensc's pkcs11-tool: certificates,
// requests and signatures made with them through libp11, while the token keeps the keys.
#include "norvan/signing/pkcs11.hpp"

#include "norvan/api/ostrand.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/certificates.hpp"
#include "norvan/signing/mime.hpp"
#include "norvan/signing/requests.hpp"
#include "tests/support/openssl_ca.hpp"
#include "tests/support/softhsm.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

// Options are written with designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"


namespace norvan::signing::pkcs11 {
namespace {

namespace fs = std::filesystem;
using testing::expect_error;
using testing::read_bytes;

constexpr const char* kModule = testing::kSoftHsmModule;
const Bytes kPin = to_bytes("1234");

// A SoftHSM2 token "signing" in a temporary directory, with an EC P-384 key "ec-key" (id 01)
// and an RSA key "rsa-key" (id 02) generated inside it.
class TokenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    token_ = new testing::SoftHsmToken(dir_->path(), "signing", "1234");
    token_->generate_key("EC:secp384r1", "ec-key", "01");
    token_->generate_key("rsa:2048", "rsa-key", "02");
  }
  static void TearDownTestSuite() {
    delete token_;
    delete dir_;
  }

  static merrowin::PrivateKey token_key(const std::string& uri) { return load_private_key(uri, kPin, fs::path(kModule)); }

  static testing::TempDir* dir_;
  static testing::SoftHsmToken* token_;
};

testing::SoftHsmToken* TokenTest::token_ = nullptr;
testing::TempDir* TokenTest::dir_ = nullptr;

TEST_F(TokenTest, KeysStayInTheToken) {
  const std::string objects = token_->tool({"--list-objects", "--type", "privkey"});
  EXPECT_NE(objects.find("label:      ec-key"), std::string::npos) << objects;
  // Both keys: sensitive and never extractable, so no private value can leave the token.
  std::size_t keys = 0;
  for (std::size_t at = objects.find("Access:"); at != std::string::npos; at = objects.find("Access:", at + 1)) {
    const std::string line = objects.substr(at, objects.find('\n', at) - at);
    EXPECT_NE(line.find("sensitive"), std::string::npos) << line;
    EXPECT_NE(line.find("never extractable"), std::string::npos) << line;
    ++keys;
  }
  EXPECT_EQ(keys, 2u);
}

TEST_F(TokenTest, TokenKeysMakeCertificatesRequestsAndSignaturesThatVerify) {
  testing::OpensslCa ca(dir_->path() / "ca");
  for (const std::string uri : {"pkcs11:token=signing;object=ec-key", "pkcs11:token=signing;id=%02;type=private"}) {
    SCOPED_TRACE(uri);
    const merrowin::PrivateKey key = token_key(uri);
    merrowin::check_signatures_verify(key, uri);
    EXPECT_FALSE(merrowin::signatures_check_is_one_multiplication(key)) << "the token's key signs a trial";

    // A self-signed certificate, and a message it verifies.
    const auto certificate = certificates::palisande(key, certificates::calculate_expiry(1));
    const Bytes pem = certificates::certificate_as_pem(certificate);
    const Bytes payload = to_bytes("signed in the token\n");
    EXPECT_EQ(mime::verify_message(mime::sign_payload(pem, key, payload), std::vector<Bytes>{pem}), payload);

    // A request, issued by the CA, signing with the chain.
    const fs::path csr = dir_->path() / "token.csr";
    testing::write_file(csr, as_text(requests::make_request(key, {.subject = "/CN=Token User/O=Example"})));
    testing::run_openssl({"req", "-in", csr.string(), "-verify", "-noout"});
    const Bytes leaf = read_bytes(ca.issue(csr, key.is_rsa() ? "token-rsa" : "token-ec"));
    const Bytes message = mime::sign_payload(leaf, key, payload, {.chain = {read_bytes(ca.intermediate_cert())}});
    EXPECT_EQ(mime::verify_message(message, std::vector<Bytes>{read_bytes(ca.root_cert())}), payload);
  }
  EXPECT_TRUE(token_key("pkcs11:token=signing;object=rsa-key").is_rsa());
  EXPECT_TRUE(load_private_key("pkcs11:object=ec-key?pin-value=1234", std::nullopt, fs::path(kModule)).is_elliptic_curve());

  // The operation behind the certificate command takes the URI in place of a key file.
  const fs::path out = dir_->path() / "from-token.pem";
  api::ostrand::palisande("pkcs11:token=signing;object=ec-key", 1, kPin, out, fs::path(kModule));
  EXPECT_NE(testing::read_text(out).find("BEGIN CERTIFICATE"), std::string::npos);
}

// Keys of one module share it: one going does not end the others' sessions.
TEST_F(TokenTest, KeysOfOneModuleLiveSideBySide) {
  const merrowin::PrivateKey ec = token_key("pkcs11:token=signing;object=ec-key");
  {
    const merrowin::PrivateKey rsa = token_key("pkcs11:token=signing;object=rsa-key");
    merrowin::check_signatures_verify(rsa, "the RSA key");
  }
  merrowin::check_signatures_verify(ec, "the EC key, after the RSA key has gone");
}

TEST_F(TokenTest, EachFailureIsOneClearLine) {
  expect_error<TokenError>([] { (void)load_private_key("pkcs11:token=signing;object=ec-key", to_bytes("9999"), fs::path(kModule)); },
                           "The token 'signing' refused the PIN");
  expect_error<TokenError>([] { (void)load_private_key("pkcs11:token=signing;object=ec-key", std::nullopt, fs::path(kModule)); },
                           "The token 'signing' needs a PIN: give it as the passphrase");
  expect_error<TokenError>([] { (void)token_key("pkcs11:token=signing;object=nobody"); },
                           "No private key of the token 'signing' matches 'pkcs11:token=signing;object=nobody'");
  expect_error<TokenError>([] { (void)token_key("pkcs11:token=other"); }, "No token matches 'pkcs11:token=other'");
  expect_error<TokenError>([] { (void)token_key("pkcs11:token=signing"); },
                           "More than one private key of the token 'signing' matches");
  expect_error<TokenError>([] { (void)load_private_key("pkcs11:token=signing", kPin, fs::path("/nonexistent/module.so")); },
                           "The PKCS#11 module '/nonexistent/module.so' does not exist");
  expect_error<TokenError>([] { (void)load_private_key("pkcs11:token=signing", kPin, fs::path("/etc/hostname")); },
                           "Cannot load the PKCS#11 module '/etc/hostname'");
  expect_error<TokenError>([] { (void)token_key("pkcs11:token=signing;colour=red"); },
                           "the attribute 'colour' is not one this program knows");
  expect_error<TokenError>([] { (void)token_key("pkcs11:token=signing;type=cert"); }, "type=cert names no private key");
  expect_error<TokenError>([] { (void)token_key("pkcs11:id=%2"); }, "a '%' is not followed by two hex digits");
  // The PIN given in the URI never appears in an error.
  expect_error<TokenError>([] { (void)load_private_key("pkcs11:token=nope?pin-value=secret", std::nullopt, fs::path(kModule)); },
                           "No token matches 'pkcs11:token=nope' in");

  // A look-up that found no key left the token logged out: a wrong PIN is refused again.
  expect_error<TokenError>([] { (void)load_private_key("pkcs11:token=signing;object=ec-key", to_bytes("0000"), fs::path(kModule)); },
                           "The token 'signing' refused the PIN");

  EXPECT_TRUE(is_pkcs11_uri("PKCS11:token=x"));
  EXPECT_FALSE(is_pkcs11_uri("pkcs11.pem"));
  // A file path still loads a key file.
  expect_error<FileError>([] { (void)load_private_key_file_or_uri("/nonexistent/key.pem"); }, "/nonexistent/key.pem");
}

}  // namespace
}  // namespace norvan::signing::pkcs11

namespace norvan::signing::pkcs11 {
namespace {

bool maps_libp11() {
  return testing::read_text("/proc/self/maps").find("libp11.so") != std::string::npos;
}

// libp11 is opened when the first key is taken from a token, never at start-up.
TEST(Libp11Loading, OnlyTokenKeysLoadLibp11) {
  for (const std::vector<std::string> args : {std::vector<std::string>{"--version"}, {"tarrowby", "--help"}}) {
    std::vector<std::string> argv{"env", "LD_DEBUG=files", NORVAN_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = testing::run_process(argv);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("libnorvan"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("libp11"), std::string::npos) << args.front() << ": " << result.err;
  }
  // This test program links no libp11 either: the first token key opens it.
  testing::TempDir dir;
  testing::SoftHsmToken token(dir.path(), "loading", "1234");
  token.generate_key("EC:prime256v1", "key", "01");
  (void)load_private_key("pkcs11:token=loading;object=key", kPin, fs::path(kModule));
  EXPECT_TRUE(maps_libp11());
}

}  // namespace
}  // namespace norvan::signing::pkcs11
