// Messages signed with a chain of intermediates, issued by a CA run with the openssl program,
// verified by norvan with only the root trusted (also under a policy) and by `openssl cms`.
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/certificates.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/mime.hpp"
#include "tests/support/openssl_ca.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

// Options are written with designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <atomic>
#include <memory>
#include <regex>
#include <thread>

namespace norvan::signing::mime {
namespace {

namespace fs = std::filesystem;
using testing::CaLevel;
using testing::OpensslCa;
using testing::expect_error;
using testing::read_bytes;

const std::string kPayload = "signed by a CA-issued key\n";

class ChainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    ca_ = new OpensslCa(dir_->path());
    ca_->issue(ca_->make_request("alice", "/CN=Alice/O=Example"), "alice");
  }
  static void TearDownTestSuite() {
    delete ca_;
    delete dir_;
  }

  static Bytes leaf() { return read_bytes(dir_->path() / "alice.pem"); }
  static merrowin::PrivateKey key() { return merrowin::read_private_key_from_pem_file(dir_->path() / "alice.key"); }
  static Bytes intermediate() { return read_bytes(ca_->intermediate_cert()); }
  static std::vector<Bytes> root() { return {read_bytes(ca_->root_cert())}; }

  // The DER SignedData inside `message` (the base64 of its signature part).
  static std::vector<Bytes> certificates_in(const Bytes& message) {
    const fs::path file = dir_->path() / "message.eml";
    testing::write_file(file, as_text(message));
    const testing::ProcessResult out = testing::run_process(
        {"openssl", "smime", "-pk7out", "-in", file.string(), "-outform", "PEM"});
    EXPECT_EQ(out.exit_status, 0) << out.err;
    const testing::ProcessResult certs =
        testing::run_process({"openssl", "pkcs7", "-print_certs", "-noout"}, out.out);
    std::vector<Bytes> subjects;
    const std::regex subject("subject=([^\n]*)");
    for (std::sregex_iterator it(certs.out.begin(), certs.out.end(), subject), end; it != end; ++it) {
      subjects.push_back(to_bytes((*it)[1].str()));
    }
    return subjects;
  }

  static testing::TempDir* dir_;
  static OpensslCa* ca_;
};

testing::TempDir* ChainTest::dir_ = nullptr;
OpensslCa* ChainTest::ca_ = nullptr;

TEST_F(ChainTest, ChainFollowsTheSignerAndVerifiesWithOnlyTheRootTrusted) {
  const Bytes payload = to_bytes(kPayload);
  const Bytes message = sign_payload(leaf(), key(), payload, {.chain = {intermediate()}});
  EXPECT_EQ(certificates_in(message),
            (std::vector<Bytes>{to_bytes("O = Example, CN = Alice"),
                                to_bytes("O = norvan tests, CN = Test Intermediate CA")}));
  EXPECT_EQ(verify_message(message, root()), payload);

  // openssl agrees, with only the root trusted.
  const fs::path message_file = dir_->path() / "chain.eml";
  const fs::path payload_file = dir_->path() / "payload.txt";
  testing::write_file(message_file, as_text(message));
  testing::write_file(payload_file, kPayload);
  const auto checked = testing::run_process({"openssl", "cms", "-verify", "-binary", "-in", message_file.string(),
                                             "-CAfile", ca_->root_cert().string(), "-content",
                                             payload_file.string(), "-out", "/dev/null"});
  EXPECT_EQ(checked.exit_status, 0) << checked.err;

  // Without the chain the root alone cannot reach the leaf; the message holds one certificate.
  const Bytes plain = sign_payload(leaf(), key(), payload);
  EXPECT_EQ(certificates_in(plain).size(), 1u);
  expect_error<brisvale::CertificateError>([&] { verify_message(plain, root()); }, "unable to get local issuer");
}

TEST_F(ChainTest, StreamingSignerAndVerifierWithPolicy) {
  Bytes message;
  {
    PayloadSigner signer(leaf(), key(), [&message](ByteView piece) { message.insert(message.end(), piece.begin(), piece.end()); },
                         {.chain = {intermediate()}});
    signer.update(to_bytes(kPayload));
    signer.finish();
  }
  const fs::path root_crl = ca_->crl(CaLevel::root, "root.crl");
  const fs::path intermediate_crl = ca_->crl(CaLevel::intermediate, "intermediate.crl");
  const brisvale::VerificationPolicy policy{
      .crls = {{read_bytes(root_crl), "root.crl"}, {read_bytes(intermediate_crl), "intermediate.crl"}},
      .purpose = brisvale::Purpose::smime};
  const Verifier verifier(root(), std::nullopt, {.policy = policy});
  EXPECT_EQ(verifier.verify(message), to_bytes(kPayload));
  const Verifier code_signing(root(), std::nullopt, {.policy = {.purpose = brisvale::Purpose::codesign}});
  expect_error<brisvale::CertificateError>([&] { code_signing.verify(message); }, "lacks codeSigning");
}

// One Verifier, its CRLs shared by every validation, used by several threads at once.
TEST_F(ChainTest, ConcurrentVerificationsShareTheRevocationLists) {
  const Bytes message = sign_payload(leaf(), key(), to_bytes(kPayload), {.chain = {intermediate()}});
  const brisvale::VerificationPolicy policy{
      .crls = {{read_bytes(ca_->crl(CaLevel::root, "root-2.crl")), "root.crl"},
               {read_bytes(ca_->crl(CaLevel::intermediate, "intermediate-2.crl")), "intermediate.crl"}}};
  const Verifier verifier(root(), std::nullopt, {.policy = policy});
  std::atomic<int> verified{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        try {
          if (verifier.verify(message) == to_bytes(kPayload)) ++verified;
        } catch (const std::exception&) {
          // Counted as not verified.
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(verified.load(), 40);
}

TEST_F(ChainTest, ChainThatIsNotCertificatesIsRefusedBeforeAnythingIsWritten) {
  bool written = false;
  const auto sink = [&written](ByteView) { written = true; };
  expect_error<ossl::OpenSSLError>(
      [&] { PayloadSigner(leaf(), key(), sink, {.chain = {intermediate(), read_bytes(dir_->path() / "alice.key")}}); },
      "Chain certificate #2 is not a PEM X.509 certificate");
  EXPECT_FALSE(written);

  // A bundle is read into its certificates in file order; anything else in it is refused.
  const Bytes bundle = [] {
    Bytes both = intermediate();
    const Bytes second = read_bytes(ca_->root_cert());
    both.insert(both.end(), second.begin(), second.end());
    return both;
  }();
  const std::vector<Bytes> chain = certificates::read_certificate_chain_pem(bundle, "chain file 'chain.pem'");
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0], intermediate());
  Bytes with_key = bundle;
  const Bytes key_pem = read_bytes(dir_->path() / "alice.key");
  with_key.insert(with_key.end(), key_pem.begin(), key_pem.end());
  expect_error<certificates::CertificateFormatError>(
      [&] { certificates::read_certificate_chain_pem(with_key, "chain file 'chain.pem'"); },
      "The chain file 'chain.pem' holds a \"PRIVATE KEY\" PEM block (#3), not a certificate");
  expect_error<certificates::CertificateFormatError>(
      [&] { certificates::read_certificate_chain_pem(to_bytes("no PEM here"), "chain file 'x'"); },
      "The chain file 'x' holds no PEM certificate");
}

}  // namespace
}  // namespace norvan::signing::mime
