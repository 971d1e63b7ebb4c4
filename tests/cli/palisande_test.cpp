#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

using norvan::testing::read_text;
using norvan::testing::run_norvan;
using norvan::testing::run_process;
using norvan::testing::TempDir;

TEST(PalisandeCommand, CertificateForStoredKey) {
  TempDir dir;
  const auto key = (dir / "key.pem").string();
  ASSERT_EQ(run_norvan({"tarrowby", "-o", key}).exit_status, 0);
  const auto made = run_norvan({"palisande", "-k", key, "--validity-in-years", "3", "-o", (dir / "cert.pem").string()});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  const auto pub_from_cert = run_process({"openssl", "x509", "-noout", "-pubkey", "-in", (dir / "cert.pem").string()});
  const auto pub_from_key = run_process({"openssl", "pkey", "-pubout", "-in", key});
  ASSERT_EQ(pub_from_cert.exit_status, 0);
  EXPECT_EQ(pub_from_cert.out, pub_from_key.out);

  const auto help = run_norvan({"palisande", "--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("--validity-in-years YEARS=2"), std::string::npos);
  EXPECT_NE(help.out.find("certificate.pem"), std::string::npos);
}

TEST(PalisandeCommand, ErrorsAreOneLineExitOneAndLeaveOutputUntouched) {
  TempDir dir;
  const auto key = (dir / "key.pem").string();
  const auto out = (dir / "cert.pem").string();
  norvan::testing::write_file(out, "existing");
  ASSERT_EQ(run_norvan({"tarrowby", "-ppw", "-o", key}).exit_status, 0);

  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"palisande", "-k", (dir / "none.pem").string(), "-o", out},
       "Cannot read private key file '" + (dir / "none.pem").string() + "': No such file or directory\n"},
      {{"palisande", "-k", key, "-o", out, "-p", ""},
       "The private key in '" + key + "' is encrypted: a passphrase is needed to load it\n"},
      {{"palisande", "-k", key, "-o", out},
       "The private key in '" + key + "' is encrypted: a passphrase is needed to load it\n"},
      {{"palisande", "-k", key, "-o", out, "-pwrong"},
       "Cannot decrypt the private key in '" + key + "': the passphrase is wrong (or the key is damaged)\n"},
      {{"palisande", "-k", key, "-o", out, "-ppw", "--validity-in-years", "0"},
       "The validity must be at least one year, not 0\n"},
  };
  for (const auto& c : cases) {
    const auto result = run_norvan(c.args);
    EXPECT_EQ(result.exit_status, 1) << c.err;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(read_text(out), "existing");
  EXPECT_EQ(run_norvan({"palisande", "-k", key, "--validity-in-years", "x"}).exit_status, 2);
}
