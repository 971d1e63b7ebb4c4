#include "tests/support/openssl_ca.hpp"
#include "tests/support/softhsm.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using norvan::testing::read_text;
using norvan::testing::run_norvan;
using norvan::testing::run_openssl;
using norvan::testing::TempDir;

TEST(RequestCommand, RequestForStoredKeyIsIssuedByOpensslCa) {
  TempDir dir;
  norvan::testing::OpensslCa ca(dir / "ca");
  const auto key = (dir / "key.pem").string();
  const auto csr = (dir / "alice.csr").string();
  ASSERT_EQ(run_norvan({"tarrowby", "-ps3cret", "-o", key}).exit_status, 0);
  const auto made = run_norvan({"request", "-k", key, "-ps3cret", "--subject", "/CN=Alice/O=Example", "--email",
                                "alice@example.org", "--email", "a@example.org", "--dns", "example.org", "-o", csr});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  const std::string text = run_openssl({"req", "-in", csr, "-verify", "-noout", "-text"});
  EXPECT_NE(text.find("Subject: CN = Alice, O = Example"), std::string::npos) << text;
  EXPECT_NE(text.find("email:alice@example.org, email:a@example.org, DNS:example.org"), std::string::npos) << text;

  // The request signed by the CA makes a certificate for the key: sign and verify with the chain.
  const auto cert = ca.issue(csr, "alice").string();
  const auto payload = (dir / "payload.txt").string();
  norvan::testing::write_file(payload, "hello\n");
  const auto public_key = run_openssl({"pkey", "-in", key, "-passin", "pass:s3cret", "-pubout"});
  EXPECT_EQ(run_openssl({"x509", "-in", cert, "-noout", "-pubkey"}), public_key);

  // Standard output without -o; the help names the options.
  const auto to_stdout = run_norvan({"request", "-k", key, "-ps3cret"});
  EXPECT_EQ(to_stdout.exit_status, 0);
  EXPECT_TRUE(to_stdout.out.starts_with("-----BEGIN CERTIFICATE REQUEST-----")) << to_stdout.out;
  const auto help = run_norvan({"request", "--help"});
  EXPECT_NE(help.out.find("--subject DN"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("--email ADDR"), std::string::npos);
  EXPECT_NE(help.out.find("--dns NAME"), std::string::npos);
  EXPECT_NE(run_norvan({"--help"}).out.find("request"), std::string::npos);
}

TEST(RequestCommand, MalformedSubjectIsOneLineAndWritesNothing) {
  TempDir dir;
  const auto key = (dir / "key.pem").string();
  const auto out = (dir / "req.csr").string();
  norvan::testing::write_file(out, "existing");
  ASSERT_EQ(run_norvan({"tarrowby", "-o", key}).exit_status, 0);
  const auto result = run_norvan({"request", "-k", key, "--subject", "/CN=Alice/Example", "-o", out});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err,
            "The subject '/CN=Alice/Example' is malformed: the piece 'Example' has no '=' (expected the form "
            "/CN=Alice/O=Example)\n");
  EXPECT_EQ(read_text(out), "existing");
}

// A key generated in a SoftHSM2 token, reached through p11-kit's proxy module (the default),
// with the PIN from the passphrase options.
TEST(RequestCommand, KeyInATokenStandsInForTheKeyFile) {
  TempDir dir;
  const norvan::testing::SoftHsmToken token(dir.path(), "cli-token", "4321");
  token.generate_key("EC:secp384r1", "alice", "0a");
  const std::string uri = "pkcs11:token=cli-token;object=alice";
  const auto csr = (dir / "token.csr").string();
  const auto made = run_norvan({"request", "-k", uri, "-p4321", "--subject", "/CN=Token User", "-o", csr});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  EXPECT_NE(run_openssl({"req", "-in", csr, "-verify", "-noout", "-subject"}).find("CN = Token User"), std::string::npos);
  const auto cert = (dir / "token.pem").string();
  const auto certified = run_norvan({"palisande", "-k", uri, "--password-file", "/dev/stdin", "-o", cert}, "4321\n");
  ASSERT_EQ(certified.exit_status, 0) << certified.err;
  EXPECT_EQ(run_openssl({"x509", "-in", cert, "-noout", "-pubkey"}), run_openssl({"req", "-in", csr, "-noout", "-pubkey"}));

  const auto wrong = run_norvan({"request", "-k", uri, "-p0000", "-o", csr});
  EXPECT_EQ(wrong.exit_status, 1);
  EXPECT_TRUE(wrong.err.starts_with("The token 'cli-token' refused the PIN")) << wrong.err;
  EXPECT_EQ(std::count(wrong.err.begin(), wrong.err.end(), '\n'), 1);
  const auto missing = run_norvan({"request", "-k", "pkcs11:token=cli-token;object=bob", "-p4321"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "No private key of the token 'cli-token' matches 'pkcs11:token=cli-token;object=bob'\n");
  const auto no_module = run_norvan({"request", "-k", "pkcs11:token=cli-token?module-path=/etc/hostname", "-p4321"});
  EXPECT_EQ(no_module.exit_status, 1);
  EXPECT_TRUE(no_module.err.starts_with("Cannot load the PKCS#11 module '/etc/hostname': ")) << no_module.err;
  EXPECT_EQ(std::count(no_module.err.begin(), no_module.err.end(), '\n'), 1) << no_module.err;
}
