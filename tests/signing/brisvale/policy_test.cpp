// Verification policies against a CA run with the openssl program: revocation lists made by
// `openssl ca -gencrl`, validation as of a given time, and the signer's extended key usage.
#include "norvan/common/rfc3339.hpp"
#include "norvan/signing/brisvale.hpp"
#include "tests/support/openssl_ca.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

// Options are written with designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <memory>

namespace norvan::signing::brisvale {
namespace {

namespace fs = std::filesystem;
using testing::CaLevel;
using testing::IssueOptions;
using testing::OpensslCa;
using testing::expect_error;
using testing::read_bytes;
using testing::run_openssl;

const std::string kPayload = "payload signed inside a PKI\n";

// Everything the cases share, made once: two CAs (the second one's intermediate revoked by
// its root), leaves of several kinds, CRLs, and a detached signature by each leaf.
struct Pki {
  testing::TempDir dir;
  std::unique_ptr<OpensslCa> ca;
  std::unique_ptr<OpensslCa> revoked_ca;
  fs::path payload;
  fs::path root_crl, intermediate_crl, expired_crl, badly_signed_crl;
  fs::path revoked_ca_root_crl, revoked_ca_intermediate_crl;

  Pki() {
    ca = std::make_unique<OpensslCa>(dir / "ca");
    revoked_ca = std::make_unique<OpensslCa>(dir / "revoked-ca");
    payload = dir / "payload.txt";
    testing::write_file(payload, kPayload);
    issue("alice", "/CN=Alice/O=Example", {});
    issue("bob", "/CN=Bob/O=Example", {.extended_key_usage = "codeSigning"});
    issue("carol", "/CN=Carol/O=Example", {.extended_key_usage = ""});
    issue("mallory", "/CN=Mallory/O=Example", {});
    issue("old", "/CN=Old/O=Example", {.start_date = "20200101000000Z", .end_date = "20210101000000Z"});
    ca->revoke(CaLevel::intermediate, dir / "ca" / "mallory.pem");
    root_crl = ca->crl(CaLevel::root, "root.crl");
    intermediate_crl = ca->crl(CaLevel::intermediate, "intermediate.crl", /*der=*/true);
    expired_crl = ca->crl(CaLevel::intermediate, "expired.crl", false, "20200101000000Z", "20200201000000Z");
    Bytes tampered = read_bytes(intermediate_crl);
    tampered[tampered.size() - 3] ^= 0x01;  // inside the signature value
    badly_signed_crl = dir / "badly-signed.crl";
    testing::write_file(badly_signed_crl, as_text(tampered));

    const fs::path csr = revoked_ca->make_request("dave", "/CN=Dave/O=Example");
    revoked_ca->issue(csr, "dave");
    revoked_ca->revoke(CaLevel::root, revoked_ca->intermediate_cert());
    revoked_ca_root_crl = revoked_ca->crl(CaLevel::root, "root.crl");
    revoked_ca_intermediate_crl = revoked_ca->crl(CaLevel::intermediate, "intermediate.crl");
  }

  void issue(const std::string& name, const std::string& subject, const IssueOptions& options) {
    ca->issue(ca->make_request(name, subject), name, options);
  }

  // The detached DER signature of the payload by `name` of `authority`, with the intermediate.
  Bytes signature(const OpensslCa& authority, const std::string& name, bool attributes = true) const {
    const fs::path out = authority.directory() / (name + (attributes ? ".p7s" : ".noattr.p7s"));
    std::vector<std::string> args{"cms", "-sign", "-binary", "-outform", "DER", "-in", payload.string(),
                                  "-signer", (authority.directory() / (name + ".pem")).string(),
                                  "-inkey", (authority.directory() / (name + ".key")).string(),
                                  "-certfile", authority.intermediate_cert().string(), "-out", out.string()};
    if (!attributes) args.push_back("-noattr");
    run_openssl(args);
    return read_bytes(out);
  }
};

class PolicyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new Pki(); }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  static RevocationList list(const fs::path& path) { return {read_bytes(path), path.filename().string()}; }

  // Verifies the signature of `name` (of the first CA unless `authority` says otherwise),
  // trusting only that CA's root.
  static void verify_as(const std::string& name, const VerificationPolicy& policy, const OpensslCa* authority = nullptr,
                        bool attributes = true) {
    const OpensslCa& ca = authority ? *authority : *pki_->ca;
    const VerifyData record(std::vector<Bytes>{read_bytes(ca.root_cert())}, std::nullopt, policy);
    const Bytes payload(kPayload.begin(), kPayload.end());
    EXPECT_EQ(record.verify(pki_->signature(ca, name, attributes), payload), payload);
  }

  static Pki* pki_;
};

Pki* PolicyTest::pki_ = nullptr;

TEST_F(PolicyTest, RevocationListsCoverEveryCertificateOfThePath) {
  const VerificationPolicy both{.crls = {list(pki_->root_crl), list(pki_->intermediate_crl)}};
  verify_as("alice", both);

  // The revoked leaf: named, with its revocation date and the list that says so.
  expect_error<CertificateError>([&] { verify_as("mallory", both); }, "certificate revoked on 20");
  expect_error<CertificateError>([&] { verify_as("mallory", both); }, "(CRL intermediate.crl)");
  expect_error<CertificateError>([&] { verify_as("mallory", both); }, "certificate at depth 0: CN=Mallory,O=Example");
  // Without revocation lists nothing changes: the revoked leaf still verifies.
  verify_as("mallory", {});

  // The intermediate revoked by its root: every leaf under it fails, naming the intermediate.
  const VerificationPolicy revoked_ca{
      .crls = {list(pki_->revoked_ca_root_crl), list(pki_->revoked_ca_intermediate_crl)}};
  expect_error<CertificateError>([&] { verify_as("dave", revoked_ca, pki_->revoked_ca.get()); },
                                 "certificate at depth 1: CN=Test Intermediate CA,O=norvan tests");
  expect_error<CertificateError>([&] { verify_as("dave", revoked_ca, pki_->revoked_ca.get()); },
                                 "certificate revoked on 20");
}

TEST_F(PolicyTest, PathCertificateThatNoListCoversFails) {
  const VerificationPolicy leaf_only{.crls = {list(pki_->intermediate_crl)}};
  expect_error<CertificateError>([&] { verify_as("alice", leaf_only); },
                                 "no CRL given covers the certificate (certificate at depth 1: "
                                 "CN=Test Intermediate CA,O=norvan tests)");
}

TEST_F(PolicyTest, ExpiredOrBadlySignedListIsNamed) {
  const VerificationPolicy expired{.crls = {list(pki_->root_crl), list(pki_->expired_crl)}};
  expect_error<CertificateError>([&] { verify_as("alice", expired); },
                                 "CRL has expired: its next update was due 2020-02-01T00:00:00Z (CRL expired.crl)");
  // The time of validation applies to the lists too: as of 2020 the root's list, made now, is
  // not valid yet (while the expired list would be current).
  const VerificationPolicy then{.crls = expired.crls, .at_time = parse_rfc3339("2020-01-15T00:00:00Z")};
  expect_error<CertificateError>([&] { verify_as("alice", then); }, "CRL is not yet valid: it was issued for 20");

  const VerificationPolicy tampered{.crls = {list(pki_->root_crl), list(pki_->badly_signed_crl)}};
  expect_error<CertificateError>([&] { verify_as("alice", tampered); }, "CRL signature failure (CRL badly-signed.crl)");

  // Something that is no CRL at all is refused before any verification, by its name.
  expect_error<InvalidRevocationListError>(
      [&] { VerifyData(std::nullopt, std::nullopt, {.crls = {{read_bytes(pki_->ca->root_cert()), "root.pem"}}}); },
      "CRL root.pem holds no PEM \"X509 CRL\" block");
  expect_error<InvalidRevocationListError>(
      [&] { check_revocation_list({to_bytes("\x30\x03\x02\x01\x01"), "junk.der"}); },
      "CRL junk.der is not a certificate revocation list in PEM or DER");
}

TEST_F(PolicyTest, ValidationTime) {
  // The leaf expired in 2021: it verifies as of a time inside its validity, not now.
  expect_error<CertificateError>([&] { verify_as("old", {}); }, "certificate has expired");
  verify_as("old", {.at_time = parse_rfc3339("2020-06-01T12:00:00Z")});
  expect_error<CertificateError>([&] { verify_as("old", {.at_time = parse_rfc3339("2019-06-01T12:00:00Z")}); },
                                 "certificate is not yet valid");

  // As of the signing time: openssl signed just now, after the old leaf expired.
  verify_as("alice", {.at_signing_time = true});
  expect_error<CertificateError>([&] { verify_as("old", {.at_signing_time = true}); }, "certificate has expired");
  expect_error<CertificateError>([&] { verify_as("alice", {.at_signing_time = true}, nullptr, false); },
                                 "the signature has no signing-time attribute");
  expect_error<PolicyError>(
      [&] { VerifyData(std::nullopt, std::nullopt, {.at_time = parse_rfc3339("2020-01-01T00:00:00Z"), .at_signing_time = true}); },
      "both as of a given time and as of the signing time");
}

TEST_F(PolicyTest, Purpose) {
  verify_as("alice", {.purpose = Purpose::smime});
  expect_error<CertificateError>([&] { verify_as("bob", {.purpose = Purpose::smime}); },
                                 "not valid for the purpose smime: its extended key usage lacks emailProtection");
  verify_as("bob", {.purpose = Purpose::codesign});
  expect_error<CertificateError>([&] { verify_as("alice", {.purpose = Purpose::codesign}); }, "lacks codeSigning");
  expect_error<CertificateError>([&] { verify_as("carol", {.purpose = Purpose::smime}); },
                                 "it has no extended key usage extension");
  verify_as("carol", {});
  verify_as("bob", {.purpose = Purpose::any});
  expect_error<CertificateError>([&] { verify_as("carol", {.purpose = Purpose::any}); }, "for the purpose any");

  EXPECT_EQ(parse_purpose("codesign"), Purpose::codesign);
  expect_error<PolicyError>([] { (void)parse_purpose("email"); }, "Unknown purpose 'email': use smime, codesign or any");
}

}  // namespace
}  // namespace norvan::signing::brisvale
