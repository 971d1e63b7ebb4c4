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
  EXPECT_EQ(not_pem.err, "The certificate file '" + path("payload.txt") + "' holds no PEM certificate\n");
  const auto wrong_key = run_norvan({"sign", "-c", path("root.pem"), "-k", path("key.pem"), "-o", path("signed.txt"), path("payload.txt")});
  EXPECT_EQ(wrong_key.exit_status, 1);
  EXPECT_EQ(wrong_key.err.rfind("Cannot add the signer to the SignedData", 0), 0u) << wrong_key.err;
  EXPECT_EQ(read_text(dir_ / "signed.txt"), "old contents");

  // Without a value the passphrase would be read from standard input, which holds the payload.
  const std::string shared_stdin =
      "Both the passphrase and the payload would be read from standard input: give the passphrase with "
      "--password-file FILE or the payload as a file\n";
  for (const std::vector<std::string>& source : {std::vector<std::string>{"--password"}, {"--password-fd", "0"}}) {
    std::vector<std::string> args{"sign", "-c", path("cert.pem"), "-k", path("encrypted.pem")};
    args.insert(args.end(), source.begin(), source.end());
    const auto both = run_norvan(args, "secret\npayload\n");
    EXPECT_EQ(both.exit_status, 1) << source.front();
    EXPECT_EQ(both.err, shared_stdin);
    EXPECT_EQ(both.out, "");
  }
}

// Every way of giving the passphrase, each followed by the payload file: no form takes the
// payload's name as the passphrase.
TEST_F(SignCommand, EveryPassphraseFormLeavesThePositionalPayloadAlone) {
  write_file(dir_ / "pass.txt", "secret\nsecond line\n");
  write_file(dir_ / "pass-crlf.txt", "secret\r\n");
  const std::string base = "sign -c '" + path("cert.pem") + "' -k '" + path("encrypted.pem") + "' ";
  const struct {
    std::string command;
    std::string input;
  } forms[] = {
      {base + "--password=secret", ""},
      {base + "-psecret", ""},
      {base + "--password", "secret\n"},  // not a terminal: one line of standard input
      {base + "--password-file '" + path("pass.txt") + "'", ""},
      {base + "--password-file '" + path("pass-crlf.txt") + "'", ""},
      {base + "--password-fd 3 3<'" + path("pass.txt") + "'", ""},
  };
  for (const auto& form : forms) {
    const auto signed_message =
        run_process({"sh", "-c", "exec \"$0\" " + form.command + " '" + path("payload.txt") + "'", NORVAN_PROGRAM},
                    form.input);
    ASSERT_EQ(signed_message.exit_status, 0) << form.command << "\n" << signed_message.err;
    write_file(dir_ / "message.txt", signed_message.out);
    const auto verified = run_norvan({"verify", "-t", path("root.pem"), path("message.txt")});
    EXPECT_EQ(verified.out, "hello\nworld\n") << form.command;
  }
}

// "-p" with its value apart is refused before anything runs: the next argument, here the
// payload file, is never taken as the passphrase. Only the empty argument (-p '') is a value.
TEST_F(SignCommand, DetachedShortPassphraseIsRefusedInsteadOfTakingTheNextArgument) {
  const std::vector<std::string> sign{"sign", "-c", path("cert.pem"), "-k", path("encrypted.pem")};
  const std::string refusal =
      "norvan: -p takes the passphrase attached, as -pPASSPHRASE (or --password=PASSPHRASE); --password alone "
      "asks for it\nRun 'norvan sign --help' for usage.\n";
  for (const std::vector<std::string>& tail :
       {std::vector<std::string>{"-p", path("payload.txt")}, {"-p"}, {"-p", "secret", path("payload.txt")}}) {
    std::vector<std::string> args = sign;
    args.insert(args.end(), tail.begin(), tail.end());
    const auto refused = run_norvan(args, "payload on stdin\n");
    EXPECT_EQ(refused.exit_status, 2) << tail.size();
    EXPECT_EQ(refused.err, refusal);
    EXPECT_EQ(refused.out, "");
  }
  // After "--" it is a payload file name like any other.
  write_file(dir_ / "-p", "hello\nworld\n");
  const auto named = run_process({"sh", "-c", "cd \"$1\" && exec \"$0\" sign -c cert.pem -k key.pem -- -p",
                                  NORVAN_PROGRAM, dir_.path().string()});
  EXPECT_EQ(named.exit_status, 0) << named.err;
  EXPECT_NE(named.out.find("\r\nhello\r\nworld\r\n"), std::string::npos);
}

TEST_F(SignCommand, PassphraseSourcesFailWithTheirOwnReason) {
  write_file(dir_ / "empty.txt", "");
  write_file(dir_ / "long.txt", std::string(5000, 'x') + "\n");
  const std::vector<std::string> sign{"sign", "-c", path("cert.pem"), "-k", path("encrypted.pem")};
  const auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = sign;
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(path("payload.txt"));
    return run_norvan(args);
  };
  const struct {
    std::vector<std::string> extra;
    int status;
    std::string err;
  } cases[] = {
      {{"--password-file", path("missing.txt")}, 1,
       "Cannot read passphrase file '" + path("missing.txt") + "': No such file or directory\n"},
      {{"--password-file", path("empty.txt")}, 1, "The passphrase file '" + path("empty.txt") + "' is empty\n"},
      {{"--password-file", path("long.txt")}, 1,
       "The passphrase in '" + path("long.txt") + "' is longer than 1024 bytes, the most allowed\n"},
      {{"--password-fd", "9"}, 1, "Cannot read the passphrase: Bad file descriptor\n"},
      {{"--password-file", path("pass.txt"), "--password=secret"}, 2,
       "norvan: --password excludes --password-file\nRun 'norvan sign --help' for usage.\n"},
      {{"-psecret", "--password-fd", "3"}, 2, "norvan: -p excludes --password-fd\nRun 'norvan sign --help' for usage.\n"},
      {{"--password-fd", "-1"}, 2, ""},
  };
  for (const auto& c : cases) {
    const auto result = with(c.extra);
    EXPECT_EQ(result.exit_status, c.status) << c.extra.front();
    if (!c.err.empty()) {
      EXPECT_EQ(result.err, c.err);
    }
    EXPECT_EQ(result.out, "");
  }
}

// A payload over 64 MiB shows a progress line on a terminal (script(1) gives the program a
// pseudo-terminal), and nothing off one or with --quiet; so does verifying its message.
TEST_F(SignCommand, ProgressLineOnlyOnATerminal) {
  write_file(dir_ / "large.txt", std::string((std::size_t{64} << 20) + 1, 'x'));
  const std::string command = "exec '" + std::string(NORVAN_PROGRAM) + "' sign -c '" + path("cert.pem") + "' -k '" +
                              path("key.pem") + "' -o '" + path("large.eml") + "' '" + path("large.txt") + "'";
  const auto on_terminal = run_process({"script", "-qefc", command, "/dev/null"});
  ASSERT_EQ(on_terminal.exit_status, 0) << on_terminal.out;
  EXPECT_NE(on_terminal.out.find("\rSigning: "), std::string::npos) << on_terminal.out;
  EXPECT_NE(on_terminal.out.find(" of 64.0 MiB ("), std::string::npos) << on_terminal.out;
  EXPECT_TRUE(on_terminal.out.ends_with("\r\x1b[K")) << on_terminal.out;  // erased at the end

  const auto quiet = run_process({"script", "-qefc", command + " --quiet", "/dev/null"});
  ASSERT_EQ(quiet.exit_status, 0) << quiet.out;
  EXPECT_EQ(quiet.out, "");
  const auto off_terminal = run_process({"sh", "-c", command});
  ASSERT_EQ(off_terminal.exit_status, 0) << off_terminal.err;
  EXPECT_EQ(off_terminal.err, "");
  EXPECT_EQ(off_terminal.out, "");

  // Verifying the message file shows the check's progress the same way.
  const std::string verify = "exec '" + std::string(NORVAN_PROGRAM) + "' verify -t '" + path("root.pem") + "' -o '" +
                             path("large.out") + "' '" + path("large.eml") + "'";
  const auto verified = run_process({"script", "-qefc", verify, "/dev/null"});
  ASSERT_EQ(verified.exit_status, 0) << verified.out;
  EXPECT_NE(verified.out.find("\rVerifying: "), std::string::npos) << verified.out;
  EXPECT_TRUE(verified.out.ends_with("\r\x1b[K")) << verified.out;
  EXPECT_EQ(std::filesystem::file_size(dir_ / "large.out"), (std::size_t{64} << 20) + 1);
  const auto verified_off_terminal = run_process({"sh", "-c", verify});
  EXPECT_EQ(verified_off_terminal.exit_status, 0);
  EXPECT_EQ(verified_off_terminal.err, "");
}

TEST_F(SignCommand, DashAsOutputIsStandardOutput) {
  const auto result = run_norvan({"sign", "-c", path("cert.pem"), "-k", path("key.pem"), "-o", "-", path("payload.txt")});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.out.find("Content-Type: multipart/signed"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists("-"));
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
  const std::string refusal = "Signatures made with the private key in '" + key + "' cannot be verified: bad e value\n";
  EXPECT_EQ(signed_.err, refusal);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.eml"));

  // The check runs beside the signing: standard output still receives nothing, and the key's
  // refusal still comes before a missing certificate file is noticed.
  const auto to_stdout = run_norvan({"sign", "-c", path("large_e.pem"), "-k", key, path("payload.txt")});
  EXPECT_EQ(to_stdout.exit_status, 1);
  EXPECT_EQ(to_stdout.err, refusal);
  EXPECT_EQ(to_stdout.out, "");
  const auto no_certificate = run_norvan({"sign", "-c", path("missing.pem"), "-k", key, path("payload.txt")});
  EXPECT_EQ(no_certificate.err, refusal);
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
