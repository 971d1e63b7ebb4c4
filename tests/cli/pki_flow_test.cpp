// Signing and verifying inside a CA made with the openssl program, through the norvan program:
// chains, revocation lists, validation time and purpose, for one message and for a batch; and
// the same flow with the key in a SoftHSM2 token.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/openssl_ca.hpp"
#include "tests/support/softhsm.hpp"
#include "tests/support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using norvan::testing::CaLevel;
using norvan::testing::OpensslCa;
using norvan::testing::ProcessResult;
using norvan::testing::read_text;
using norvan::testing::run_norvan;
using norvan::testing::run_openssl;
using norvan::testing::TempDir;
using norvan::testing::write_file;

constexpr const char* kPayload = "Quarterly figures, signed.\n";

bool one_line(const std::string& text) {
  return std::count(text.begin(), text.end(), '\n') == 1 && text.ends_with('\n');
}

// A key made by norvan, its request made by norvan and issued by the CA's intermediate.
struct Signer {
  std::string key;
  std::string cert;
};

Signer make_signer(const TempDir& dir, OpensslCa& ca, const std::string& name,
                   const norvan::testing::IssueOptions& issue = {}) {
  const std::string key = (dir / (name + ".key")).string();
  const std::string csr = (dir / (name + ".csr")).string();
  EXPECT_EQ(run_norvan({"tarrowby", "-o", key}).exit_status, 0);
  const ProcessResult made = run_norvan(
      {"request", "-k", key, "--subject", "/CN=" + name, "--email", name + "@example.org", "-o", csr});
  EXPECT_EQ(made.exit_status, 0) << made.err;
  return {key, ca.issue(csr, name, issue).string()};
}

// Signs the payload file with `signer` and the intermediate as chain into `<name>.eml`.
std::string sign(const TempDir& dir, const OpensslCa& ca, const Signer& signer, const std::string& name) {
  const std::string message = (dir / (name + ".eml")).string();
  const ProcessResult signed_ =
      run_norvan({"sign", "-c", signer.cert, "-k", signer.key, "--chain", ca.intermediate_cert().string(),
                  "-o", message, (dir / "payload.txt").string()});
  EXPECT_EQ(signed_.exit_status, 0) << signed_.err;
  return message;
}

ProcessResult verify(const OpensslCa& ca, const std::string& message, std::vector<std::string> options = {}) {
  std::vector<std::string> args = {"verify", "-t", ca.root_cert().string()};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(message);
  return run_norvan(args);
}

class PkiFlow : public ::testing::Test {
 protected:
  void SetUp() override { write_file(dir_ / "payload.txt", kPayload); }
  TempDir dir_;
  OpensslCa ca_{dir_ / "ca"};
};

TEST_F(PkiFlow, ChainSignedMessageVerifiesAgainstTheRootAlone) {
  const Signer alice = make_signer(dir_, ca_, "alice");
  const std::string message = sign(dir_, ca_, alice, "alice");
  const ProcessResult verified = verify(ca_, message);
  ASSERT_EQ(verified.exit_status, 0) << verified.err;
  EXPECT_EQ(verified.out, kPayload);
  // openssl finds the intermediate in the message as well (the signature covers the payload
  // as given, with LF line ends).
  run_openssl({"cms", "-verify", "-binary", "-CAfile", ca_.root_cert().string(), "-in", message, "-content",
               (dir_ / "payload.txt").string(), "-out", "/dev/null"});

  // A chain file that holds a key is refused before the output is touched.
  const fs::path output = dir_ / "refused.eml";
  const ProcessResult refused = run_norvan({"sign", "-c", alice.cert, "-k", alice.key, "--chain", alice.key,
                                            "-o", output.string(), (dir_ / "payload.txt").string()});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.err.find("chain file '" + alice.key + "'"), std::string::npos) << refused.err;
  EXPECT_TRUE(one_line(refused.err)) << refused.err;
  EXPECT_FALSE(fs::exists(output));
  const ProcessResult no_file = run_norvan({"sign", "-c", alice.cert, "-k", alice.key, "--chain",
                                            (dir_ / "absent.pem").string(), (dir_ / "payload.txt").string()});
  EXPECT_EQ(no_file.exit_status, 1);
  EXPECT_NE(no_file.err.find("absent.pem"), std::string::npos) << no_file.err;
}

TEST_F(PkiFlow, RevocationListsCoverThePathAndNameTheRevokedCertificate) {
  const Signer alice = make_signer(dir_, ca_, "alice");
  const std::string message = sign(dir_, ca_, alice, "alice");
  const std::string root_crl = ca_.crl(CaLevel::root, "root.crl", /*der=*/true).string();
  const std::string clean_crl = ca_.crl(CaLevel::intermediate, "clean.crl").string();

  const ProcessResult covered = verify(ca_, message, {"--crl", clean_crl, "--crl", root_crl});
  EXPECT_EQ(covered.exit_status, 0) << covered.err;
  EXPECT_EQ(covered.out, kPayload);

  const ProcessResult leaf_only = verify(ca_, message, {"--crl", clean_crl});
  EXPECT_EQ(leaf_only.exit_status, 1);
  EXPECT_TRUE(leaf_only.err.starts_with("CertificateError: ")) << leaf_only.err;
  EXPECT_NE(leaf_only.err.find("no CRL"), std::string::npos) << leaf_only.err;
  EXPECT_NE(leaf_only.err.find("covers"), std::string::npos) << leaf_only.err;
  EXPECT_TRUE(one_line(leaf_only.err)) << leaf_only.err;
  EXPECT_EQ(leaf_only.out, "");

  ca_.revoke(CaLevel::intermediate, alice.cert);
  const std::string revoked_crl = ca_.crl(CaLevel::intermediate, "revoked.crl").string();
  const ProcessResult revoked = verify(ca_, message, {"--crl", revoked_crl, "--crl", root_crl});
  EXPECT_EQ(revoked.exit_status, 1);
  EXPECT_TRUE(revoked.err.starts_with("CertificateError: certificate revoked on ")) << revoked.err;
  EXPECT_NE(revoked.err.find("(CRL " + revoked_crl + ")"), std::string::npos) << revoked.err;
  EXPECT_NE(revoked.err.find("(certificate at depth 0: CN=alice)"), std::string::npos) << revoked.err;
  EXPECT_TRUE(one_line(revoked.err)) << revoked.err;
  EXPECT_EQ(revoked.out, "");

  // The intermediate revoked by the root: named at its depth, with a clean list for the leaf.
  const Signer bob = make_signer(dir_, ca_, "bob");
  const std::string bob_message = sign(dir_, ca_, bob, "bob");
  ca_.revoke(CaLevel::root, ca_.intermediate_cert());
  const std::string root_revoked = ca_.crl(CaLevel::root, "root-revoked.crl").string();
  const ProcessResult intermediate = verify(ca_, bob_message, {"--crl", revoked_crl, "--crl", root_revoked});
  EXPECT_EQ(intermediate.exit_status, 1);
  EXPECT_TRUE(intermediate.err.starts_with("CertificateError: certificate revoked on ")) << intermediate.err;
  EXPECT_NE(intermediate.err.find("(certificate at depth 1: "), std::string::npos) << intermediate.err;

  // A file that holds no CRL is named, and is not a verification failure.
  const ProcessResult not_a_crl = verify(ca_, message, {"--crl", alice.cert});
  EXPECT_EQ(not_a_crl.exit_status, 2);
  EXPECT_EQ(not_a_crl.err, "CRL " + alice.cert + " holds no PEM \"X509 CRL\" block\n");
  EXPECT_TRUE(one_line(not_a_crl.err)) << not_a_crl.err;
}

TEST_F(PkiFlow, TimeAndPurposeOfTheSignerCertificate) {
  norvan::testing::IssueOptions expired;
  expired.start_date = "20200101000000Z";
  expired.end_date = "20210101000000Z";
  const std::string old_message = sign(dir_, ca_, make_signer(dir_, ca_, "old", expired), "old");
  const ProcessResult now = verify(ca_, old_message);
  EXPECT_EQ(now.exit_status, 1);
  EXPECT_TRUE(now.err.starts_with("CertificateError: ")) << now.err;
  const ProcessResult then = verify(ca_, old_message, {"--at-time", "2020-06-01T12:00:00Z"});
  EXPECT_EQ(then.exit_status, 0) << then.err;
  EXPECT_EQ(then.out, kPayload);
  const ProcessResult bad_time = verify(ca_, old_message, {"--at-time", "2020-06-01"});
  EXPECT_EQ(bad_time.exit_status, 2);
  EXPECT_TRUE(bad_time.err.starts_with("'2020-06-01' is not an RFC 3339 time")) << bad_time.err;

  norvan::testing::IssueOptions code_signing;
  code_signing.extended_key_usage = "codeSigning";
  const std::string code_message = sign(dir_, ca_, make_signer(dir_, ca_, "coder", code_signing), "coder");
  const std::string mail_message = sign(dir_, ca_, make_signer(dir_, ca_, "mailer"), "mailer");
  const ProcessResult wrong_purpose = verify(ca_, code_message, {"--purpose", "smime"});
  EXPECT_EQ(wrong_purpose.exit_status, 1);
  EXPECT_TRUE(
      wrong_purpose.err.starts_with("CertificateError: the signer's certificate is not valid for the purpose "
                                    "smime: its extended key usage lacks "
                                    "emailProtection"))
      << wrong_purpose.err;
  EXPECT_TRUE(one_line(wrong_purpose.err)) << wrong_purpose.err;
  EXPECT_EQ(verify(ca_, code_message, {"--purpose", "codesign"}).exit_status, 0);
  EXPECT_EQ(verify(ca_, code_message).exit_status, 0);  // no purpose asked: the default check alone
  EXPECT_EQ(verify(ca_, mail_message, {"--purpose", "smime"}).exit_status, 0);
  const ProcessResult unknown = verify(ca_, mail_message, {"--purpose", "mail"});
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_NE(unknown.err.find("--purpose"), std::string::npos) << unknown.err;

  // The same in a batch: each message has the outcome it has alone.
  const fs::path out = dir_ / "out";
  fs::create_directory(out);
  const ProcessResult batch =
      run_norvan({"verify", "-t", ca_.root_cert().string(), "--purpose", "smime", "--output-dir",
                  out.string(), mail_message, code_message, old_message});
  EXPECT_EQ(batch.exit_status, 1);
  EXPECT_NE(batch.err.find(code_message + ": CertificateError: "), std::string::npos) << batch.err;
  EXPECT_NE(batch.err.find(old_message + ": CertificateError: "), std::string::npos) << batch.err;
  EXPECT_EQ(batch.err.find(mail_message), std::string::npos) << batch.err;
  EXPECT_EQ(read_text(out / "mailer"), kPayload);
  EXPECT_FALSE(fs::exists(out / "coder"));
  EXPECT_FALSE(fs::exists(out / "old"));

  // Revocation lists in a batch: a message whose path no list covers fails alone.
  const std::string root_crl = ca_.crl(CaLevel::root, "root.crl").string();
  const std::string inter_crl = ca_.crl(CaLevel::intermediate, "inter.crl").string();
  fs::remove_all(out);
  fs::create_directory(out);
  const ProcessResult with_crls = run_norvan({"verify", "-t", ca_.root_cert().string(), "--crl", inter_crl,
                                              "--crl", root_crl, "--at-time", "2020-06-01T12:00:00Z",
                                              "--output-dir", out.string(), old_message, mail_message});
  EXPECT_EQ(with_crls.exit_status, 1);
  // The CRLs made now are not yet valid in 2020; the mail leaf is not yet valid either.
  EXPECT_NE(with_crls.err.find(old_message + ": CertificateError: "), std::string::npos) << with_crls.err;
  EXPECT_NE(with_crls.err.find(mail_message + ": CertificateError: "), std::string::npos) << with_crls.err;
  const ProcessResult crls_now = run_norvan({"verify", "-t", ca_.root_cert().string(), "--crl", inter_crl,
                                             "--crl", root_crl, "--output-dir", out.string(), mail_message});
  EXPECT_EQ(crls_now.exit_status, 0) << crls_now.err;
  EXPECT_EQ(read_text(out / "mailer"), kPayload);
}

TEST(VerifyHelp, NamesThePolicyOptionsAndWhoSetsTheSigningTime) {
  const std::string help = run_norvan({"verify", "--help"}).out;
  for (const char* option : {"--crl FILE", "--at-time", "--purpose", "--rfc8551", "--body"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option << "\n" << help;
  }
  EXPECT_NE(help.find("signer controls"), std::string::npos) << help;
  const std::string sign_help = run_norvan({"sign", "--help"}).out;
  for (const char* option : {"--chain FILE", "--pkcs11-module PATH", "--rfc8551", "--entity", "--opaque",
                             "PEM private key file or pkcs11: URI"}) {
    EXPECT_NE(sign_help.find(option), std::string::npos) << option << "\n" << sign_help;
  }
  for (const char* command : {"palisande", "request"}) {
    const std::string text = run_norvan({command, "--help"}).out;
    EXPECT_NE(text.find("--pkcs11-module PATH"), std::string::npos) << text;
    EXPECT_NE(text.find("PEM private key file or pkcs11: URI"), std::string::npos) << text;
  }
}

// The token flow as the README gives it: a key generated in a SoftHSM2 token, a request for
// it issued by the CA, a payload signed in the token, verified, then revoked.
TEST(TokenFlow, KeyInATokenSignsAndItsRevocationIsSeen) {
  if (!fs::exists(norvan::testing::kSoftHsmModule)) GTEST_SKIP() << "SoftHSM2 is not installed";
  TempDir dir;
  const norvan::testing::SoftHsmToken token(dir.path(), "signing", "1234");
  token.generate_key("EC:secp384r1", "alice", "01");
  OpensslCa ca(dir / "ca");
  write_file(dir / "pin.txt", "1234\n");
  write_file(dir / "payload.txt", kPayload);
  const std::string uri = "pkcs11:token=signing;object=alice";
  const std::string pin_file = (dir / "pin.txt").string();
  const std::string csr = (dir / "alice.csr").string();

  const ProcessResult requested = run_norvan({"request", "-k", uri, "--password-file", pin_file, "--subject",
                                              "/CN=Alice", "--email", "alice@example.org", "-o", csr});
  ASSERT_EQ(requested.exit_status, 0) << requested.err;
  const std::string cert = ca.issue(csr, "alice").string();
  const std::string message = (dir / "alice.eml").string();
  const ProcessResult signed_ =
      run_norvan({"sign", "-c", cert, "-k", uri, "--password-file", pin_file, "--pkcs11-module",
                  norvan::testing::kSoftHsmModule, "--chain", ca.intermediate_cert().string(), "-o", message,
                  (dir / "payload.txt").string()});
  ASSERT_EQ(signed_.exit_status, 0) << signed_.err;
  const ProcessResult verified = verify(ca, message, {"--purpose", "smime"});
  EXPECT_EQ(verified.exit_status, 0) << verified.err;
  EXPECT_EQ(verified.out, kPayload);

  // The token's certificate does not fit another key: the key check names the mismatch.
  const Signer other = make_signer(dir, ca, "bob");
  const ProcessResult mismatch = run_norvan(
      {"sign", "-c", other.cert, "-k", uri, "--password-file", pin_file, (dir / "payload.txt").string()});
  EXPECT_EQ(mismatch.exit_status, 1);
  EXPECT_TRUE(one_line(mismatch.err)) << mismatch.err;
  const ProcessResult wrong_pin =
      run_norvan({"sign", "-c", cert, "-k", uri, "-p0000", (dir / "payload.txt").string()});
  EXPECT_EQ(wrong_pin.exit_status, 1);
  EXPECT_TRUE(wrong_pin.err.starts_with("The token 'signing' refused the PIN")) << wrong_pin.err;
  EXPECT_EQ(wrong_pin.out, "");

  ca.revoke(CaLevel::intermediate, cert);
  const ProcessResult revoked = verify(ca, message,
                                       {"--crl", ca.crl(CaLevel::intermediate, "inter.crl").string(), "--crl",
                                        ca.crl(CaLevel::root, "root.crl").string()});
  EXPECT_EQ(revoked.exit_status, 1);
  EXPECT_TRUE(revoked.err.starts_with("CertificateError: ")) << revoked.err;
  EXPECT_NE(revoked.err.find("revoked"), std::string::npos) << revoked.err;
}

}  // namespace
