#include "norvan/signing/merrowin.hpp"

#include "tests/support/pki.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using namespace norvan;
using namespace norvan::testing;

class SignCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_ / "root.pem", root_.cert_pem());
    write_file(dir_ / "cert.pem", signer_.cert_pem());
    write_file(dir_ / "key.pem", signer_.key_pem());
    EVP_PKEY_up_ref(signer_.key.get());
    const signing::merrowin::PrivateKey key{ossl::UniquePtr<EVP_PKEY>(signer_.key.get())};
    write_file(dir_ / "encrypted.pem", as_text(signing::merrowin::private_key_as_pem(key, to_bytes("secret"))));
    write_file(dir_ / "payload.txt", "hello\nworld\n");
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  Credential root_ = make_root_ca("Sign Root");
  Credential signer_ = issue_certificate(root_, "Sign Signer");
  TempDir dir_;
};

TEST_F(SignCommand, SignsFilesAndStandardInputIntoMessagesThatVerify) {
  const auto from_file = run_norvan({"sign", "--certificate", path("cert.pem"), "-k", path("key.pem"), path("payload.txt")});
  ASSERT_EQ(from_file.exit_status, 0) << from_file.err;
  EXPECT_NE(from_file.out.find("Content-Type: multipart/signed"), std::string::npos);
  write_file(dir_ / "message.txt", from_file.out);
  const auto verified = run_norvan({"verify", "-t", path("root.pem"), path("message.txt")});
  EXPECT_EQ(verified.exit_status, 0) << verified.err;
  EXPECT_EQ(verified.out, "hello\nworld\n");

  const auto from_stdin = run_norvan({"sign", "-c", path("cert.pem"), "-k", path("encrypted.pem"), "--password=secret",
                                      "-o", path("signed.txt"), "-"}, "piped\n");
  ASSERT_EQ(from_stdin.exit_status, 0) << from_stdin.err;
  EXPECT_EQ(from_stdin.out, "");
  const auto piped = run_norvan({"verify", "-t", path("root.pem")}, read_text(dir_ / "signed.txt"));
  EXPECT_EQ(piped.out, "piped\n");
}

TEST_F(SignCommand, FailuresPrintOneLineAndWriteNothing) {
  write_file(dir_ / "signed.txt", "old contents");
  const auto no_cert = run_norvan({"sign", "-c", path("missing.pem"), "-k", path("key.pem"), "-o", path("signed.txt"), path("payload.txt")});
  EXPECT_EQ(no_cert.exit_status, 1);
  EXPECT_EQ(no_cert.err, "Cannot read certificate file '" + path("missing.pem") + "': No such file or directory\n");
  const auto not_pem = run_norvan({"sign", "-c", path("payload.txt"), "-k", path("key.pem"), "-o", path("signed.txt"), path("payload.txt")});
  EXPECT_EQ(not_pem.exit_status, 1);
  EXPECT_EQ(not_pem.err.rfind("The signer certificate is not a PEM X.509 certificate", 0), 0u) << not_pem.err;
  const auto wrong_key = run_norvan({"sign", "-c", path("root.pem"), "-k", path("key.pem"), "-o", path("signed.txt"), path("payload.txt")});
  EXPECT_EQ(wrong_key.exit_status, 1);
  EXPECT_EQ(wrong_key.err.rfind("Cannot add the signer to the SignedData", 0), 0u) << wrong_key.err;
  EXPECT_EQ(read_text(dir_ / "signed.txt"), "old contents");

  // Without a value the passphrase would be read from standard input, which holds the payload.
  const auto both = run_norvan({"sign", "-c", path("cert.pem"), "-k", path("encrypted.pem"), "--password"}, "secret\npayload\n");
  EXPECT_EQ(both.exit_status, 1);
  EXPECT_EQ(both.err,
            "Both the passphrase and the payload would be read from standard input: give the passphrase as "
            "--password=PASSPHRASE or the payload as a file\n");
  EXPECT_EQ(both.out, "");
}

// The output file is unnamed until the message is complete: no signal, not even SIGKILL, leaves
// a temporary file beside it.
TEST_F(SignCommand, SignalsWhileSigningLeaveNoTemporaryFileBehind) {
  const std::string lines(1 << 20, '\n');
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
    TempDir out_dir;
    RunningNorvan sign({"sign", "-c", path("cert.pem"), "-k", path("key.pem"), "-o", (out_dir / "out.eml").string(), "-"});
    for (int mebibyte = 0; mebibyte < 4; ++mebibyte) ASSERT_TRUE(sign.feed(lines));
    EXPECT_EQ(sign.kill_and_wait(signal), -signal);
    EXPECT_TRUE(std::filesystem::is_empty(out_dir.path())) << "signal " << signal;
  }
}

// An RSA key whose public exponent (over 64 bits, with a modulus over 3072 bits) verification
// refuses is refused before anything is signed.
TEST_F(SignCommand, RefusesKeysWhoseSignaturesCannotBeVerified) {
  const std::string key = std::string(NORVAN_TEST_DATA_DIR) + "/keys/rsa_large_exponent.pem";
  const auto certificate = run_norvan({"palisande", "-k", key, "-o", path("large_e.pem")});
  ASSERT_EQ(certificate.exit_status, 0) << certificate.err;
  const auto signed_ = run_norvan({"sign", "-c", path("large_e.pem"), "-k", key, "-o", path("out.eml"), path("payload.txt")});
  EXPECT_EQ(signed_.exit_status, 1);
  EXPECT_EQ(signed_.err, "Signatures made with the private key in '" + key + "' cannot be verified: bad e value\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.eml"));
}

TEST_F(SignCommand, HelpDescribesTheCommand) {
  const auto help = run_norvan({"--help"});
  EXPECT_NE(help.out.find("Sign a payload into an S/MIME clear-signed message"), std::string::npos);
  const auto sign_help = run_norvan({"sign", "--help"});
  for (const std::string option : {"--certificate", "--private-key-file", "--password", "--output", "PAYLOAD"}) {
    EXPECT_NE(sign_help.out.find(option), std::string::npos) << option;
  }
}

}  // namespace
