#include "norvan/signing/mime.hpp"

#include "tests/support/base64.hpp"
#include "tests/support/pki.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <thread>
#include <sys/stat.h>

namespace {

using namespace norvan;
using namespace norvan::testing;

// A signed message around `payload_text` whose signature part holds `der`.
std::string message(const std::string& payload_text, ByteView der) {
  return "Content-Type: multipart/signed; boundary=B\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\n" + payload_text +
         "\r\n--B\r\nContent-Type: application/x-pkcs7-signature\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64(der) +
         "\r\n--B--\r\n";
}

class VerifyCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_ / "root.pem", root_.cert_pem());
    write_file(dir_ / "root.der", as_text(root_.cert_der()));
    std::filesystem::create_directory(dir_ / "trusted");
    write_file(dir_ / "trusted" / "root.pem", root_.cert_pem());
    write_file(dir_ / "good.txt", message("payload\n", openssl_cms_sign(signer_, to_bytes("payload\n"))));
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  Credential root_ = make_root_ca("Verify Root");
  Credential signer_ = issue_certificate(root_, "Verify Signer");
  TempDir dir_;
};

TEST_F(VerifyCommand, WritesThePayloadOfAMessageThatVerifies) {
  for (const auto& trust : std::vector<std::vector<std::string>>{{"-t", path("root.pem")}, {"--trusted-cert", path("root.der")},
                                                                 {"--trusted-dir", path("trusted")}}) {
    std::vector<std::string> args{"verify"};
    args.insert(args.end(), trust.begin(), trust.end());
    args.push_back(path("good.txt"));
    const auto result = run_norvan(args);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "payload\n");
  }
  const auto to_file = run_norvan({"verify", "-t", path("root.pem"), "-o", path("out.txt"), "-"}, read_text(dir_ / "good.txt"));
  EXPECT_EQ(to_file.exit_status, 0) << to_file.err;
  EXPECT_EQ(read_text(dir_ / "out.txt"), "payload\n");
  // '-' as the output is standard output; no option takes the message's name as its value.
  const auto to_stdout = run_norvan({"verify", "-t", path("root.pem"), "-d", path("trusted"), "-o", "-", path("good.txt")});
  EXPECT_EQ(to_stdout.exit_status, 0) << to_stdout.err;
  EXPECT_EQ(to_stdout.out, "payload\n");
  EXPECT_FALSE(std::filesystem::exists("-"));
}

TEST_F(VerifyCommand, RejectedMessagesExitWithOneAndNameTheErrorType) {
  const auto expect_rejected = [&](const std::string& text, const std::string& line) {
    write_file(dir_ / "message.txt", text);
    const auto result = run_norvan({"verify", "-t", path("root.pem"), path("message.txt")});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, line + "\n");
  };
  const Bytes signature = openssl_cms_sign(signer_, to_bytes("payload\n"));
  expect_rejected(message("changed\n", signature), "HashValueError: Different hash values for raw and signed payload digests");
  expect_rejected("no header here\n", "VerificationError: Could not find any signature");

  // A signature whose value is damaged: the error has no message of its own, only a cause.
  Bytes broken = signature;
  broken[broken.size() - 3] ^= 0x01;
  write_file(dir_ / "broken.txt", message("payload\n", broken));
  const auto damaged = run_norvan({"verify", "-t", path("root.pem"), path("broken.txt")});
  EXPECT_EQ(damaged.exit_status, 1);
  EXPECT_EQ(damaged.err.rfind("SignatureError: The signature does not verify", 0), 0u) << damaged.err;
  EXPECT_EQ(damaged.err.find("  "), std::string::npos) << damaged.err;

  const auto untrusted = run_norvan({"verify", "-t", path("good.txt"), path("good.txt")});
  EXPECT_EQ(untrusted.exit_status, 2) << "a trusted file that is no certificate is not a verdict";
  std::filesystem::create_directory(dir_ / "empty");
  const auto unknown_root = run_norvan({"verify", "--trusted-dir", path("empty"), path("good.txt")});
  EXPECT_EQ(unknown_root.exit_status, 1);
  // The validation failure is the message and the cause: said once.
  EXPECT_EQ(unknown_root.err.rfind("CertificateError: unable to get local issuer certificate (certificate at depth 0: ", 0), 0u)
      << unknown_root.err;
  const std::string failure = "unable to get local issuer certificate";
  EXPECT_EQ(unknown_root.err.find(failure), unknown_root.err.rfind(failure)) << unknown_root.err;
  EXPECT_EQ(std::count(unknown_root.err.begin(), unknown_root.err.end(), '\n'), 1);
}

// Beyond 16 MiB a message on standard input is spooled to a temporary file and verified from
// there; the outcome is the same as in memory.
TEST_F(VerifyCommand, LargeMessagesOnStandardInputVerifyTheSame) {
  std::string payload;
  while (payload.size() <= (17u << 20)) payload += "line " + std::to_string(payload.size()) + " of a large payload\n";
  const Bytes signature = openssl_cms_sign(signer_, as_bytes(payload));
  const auto result = run_norvan({"verify", "-t", path("root.pem"), "-o", path("large.out")}, message(payload, signature));
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(read_text(dir_ / "large.out") == payload);

  std::string changed = payload;
  changed[changed.size() / 2] = '#';
  const auto rejected = run_norvan({"verify", "-t", path("root.pem"), "-o", path("rejected.out")}, message(changed, signature));
  EXPECT_EQ(rejected.exit_status, 1);
  EXPECT_EQ(rejected.err, "HashValueError: Different hash values for raw and signed payload digests\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "rejected.out"));
}

// Standard input beyond the in-memory size goes to an unnamed file: killing the program while
// it spools leaves nothing in the temporary directory.
TEST_F(VerifyCommand, SpoolingStandardInputLeavesNothingBehindWhenKilled) {
  const std::string lines(1 << 20, '\n');
  for (const int signal : {SIGTERM, SIGKILL}) {
    TempDir spool_dir;
    RunningNorvan verify({"verify", "-t", path("root.pem"), "-"}, {{"TMPDIR", spool_dir.path().string()}});
    for (int mebibyte = 0; mebibyte < 20; ++mebibyte) ASSERT_TRUE(verify.feed(lines));
    EXPECT_EQ(verify.kill_and_wait(signal), -signal);
    EXPECT_TRUE(std::filesystem::is_empty(spool_dir.path())) << "signal " << signal;
  }
}

// A full disk while spooling is a clear failure (exit 2), naming where the spool was.
TEST_F(VerifyCommand, SpoolingOnAFullDiskFailsWithAClearError) {
  TempDir small;
  if (::geteuid() != 0 ||
      run_process({"mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", small.path().string()}).exit_status != 0) {
    GTEST_SKIP() << "needs a small file system (mounting one needs root)";
  }
  std::string large(17 << 20, '\n');
  const auto result =
      run_process({"env", "TMPDIR=" + small.path().string(), NORVAN_PROGRAM, "verify", "-t", path("root.pem"), "-"}, large);
  run_process({"umount", small.path().string()});
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.err, "Cannot write the message from standard input to a temporary file in '" +
                            small.path().string() + "': No space left on device\n");
}

// A message that is not a regular file (a FIFO here) is read as a stream and verifies the same;
// inputs that are never large are read with a bound.
TEST_F(VerifyCommand, SpecialFilesAreStreamsAndSmallInputsAreBounded) {
  const auto fifo = dir_ / "message.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto writer = std::async(std::launch::async, [&] { write_file(fifo, read_text(dir_ / "good.txt")); });
  const auto from_fifo = run_norvan({"verify", "-t", path("root.pem"), fifo.string()});
  writer.get();
  EXPECT_EQ(from_fifo.exit_status, 0) << from_fifo.err;
  EXPECT_EQ(from_fifo.out, "payload\n");

  const auto endless = run_norvan({"verify", "-t", "/dev/zero", path("good.txt")});
  EXPECT_EQ(endless.exit_status, 2);
  EXPECT_EQ(endless.err, "Cannot read trusted certificate '/dev/zero': it is larger than 16 MiB, the limit for this input\n");
  EXPECT_EQ(endless.out, "");
}

TEST_F(VerifyCommand, OtherFailuresExitWithTwo) {
  write_file(dir_ / "out.txt", "old");
  const auto missing = run_norvan({"verify", "-t", path("root.pem"), "-o", path("out.txt"), path("missing.txt")});
  EXPECT_EQ(missing.exit_status, 2);
  EXPECT_EQ(missing.err, "Cannot read message file '" + path("missing.txt") + "': No such file or directory\n");
  const auto malformed = run_norvan({"verify", "-t", path("root.pem"), "-o", path("out.txt")}, message("payload\n", to_bytes("junk")));
  EXPECT_EQ(malformed.exit_status, 2);
  EXPECT_EQ(std::count(malformed.err.begin(), malformed.err.end(), '\n'), 1) << malformed.err;
  const auto no_dir = run_norvan({"verify", "--trusted-dir", path("nowhere"), path("good.txt")});
  EXPECT_EQ(no_dir.exit_status, 2);
  EXPECT_EQ(no_dir.err, "Cannot read trusted certificate directory '" + path("nowhere") +
                            "': it does not exist or is not a directory\n");
  // A trusted certificate that is none is named by its file, in plain words.
  write_file(dir_ / "notes.pem", "not a certificate\n");
  write_file(dir_ / "broken.pem", "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n");
  const auto not_cert = run_norvan({"verify", "-t", path("root.pem"), "-t", path("notes.pem"), "-o", path("out.txt"), path("good.txt")});
  EXPECT_EQ(not_cert.exit_status, 2);
  EXPECT_EQ(not_cert.err, "Trusted certificate file '" + path("notes.pem") +
                              "' is not an X.509 certificate in PEM or DER: the DER encoding is malformed\n");
  const auto broken = run_norvan({"verify", "-t", path("broken.pem"), "-o", path("out.txt"), path("good.txt")});
  EXPECT_EQ(broken.exit_status, 2);
  EXPECT_EQ(broken.err, "Trusted certificate file '" + path("broken.pem") +
                            "' is not an X.509 certificate in PEM or DER: the DER encoding is malformed\n");
  EXPECT_EQ(read_text(dir_ / "out.txt"), "old");
  EXPECT_NE(run_norvan({"--help"}).out.find("Verify an S/MIME signed message"), std::string::npos);
}

}  // namespace

namespace {

// Many messages in one call: every message has the outcome it has alone (its payload file, or
// the line it prints alone, prefixed with its name), whatever the number of jobs.
TEST_F(VerifyCommand, OutputDirVerifiesEachMessageAsAlone) {
  const Bytes signature = openssl_cms_sign(signer_, to_bytes("payload\n"));
  std::filesystem::create_directory(dir_ / "in");
  std::vector<std::string> messages;
  for (int index = 0; index < 12; ++index) {
    const std::string name = path("in/m" + std::to_string(index) + ".eml");
    const std::string text = "payload " + std::to_string(index) + "\n";
    switch (index % 4) {
      case 0: write_file(name, message(text, openssl_cms_sign(signer_, to_bytes(text)))); break;
      case 1: write_file(name, message("changed\n", signature)); break;
      case 2: write_file(name, "no header here\n"); break;
      default: write_file(name, message(text, openssl_cms_sign(signer_, to_bytes(text)))); break;
    }
    messages.push_back(name);
  }
  messages.push_back(path("in/missing.eml"));

  for (const std::vector<std::string>& trust : std::vector<std::vector<std::string>>{
           {"-t", path("root.pem")}, {"-t", path("good.txt")} /* not a certificate */}) {
    std::string expected_err;
    int expected_status = 0;
    for (const std::string& message_file : messages) {
      std::vector<std::string> alone{"verify"};
      alone.insert(alone.end(), trust.begin(), trust.end());
      alone.insert(alone.end(), {"-o", path("alone.out"), message_file});
      const auto result = run_norvan(alone);
      if (result.exit_status != 0) expected_err += message_file + ": " + result.err;
      expected_status = std::max(expected_status, result.exit_status);
    }
    for (const char* jobs : {"1", "3"}) {
      const std::filesystem::path out = dir_ / ("out" + std::string(jobs) + trust[1].substr(trust[1].size() - 4));
      std::filesystem::create_directory(out);
      std::vector<std::string> batch{"verify", "--output-dir", out.string(), "--jobs", jobs};
      batch.insert(batch.end(), trust.begin(), trust.end());
      batch.insert(batch.end(), messages.begin(), messages.end());
      const auto result = run_norvan(batch);
      EXPECT_EQ(result.exit_status, expected_status) << jobs;
      EXPECT_EQ(result.err, expected_err) << jobs;
      EXPECT_EQ(result.out, "");
      for (int index = 0; index < 12; ++index) {
        const std::filesystem::path payload = out / ("m" + std::to_string(index));
        const bool verifies = index % 4 == 0 || index % 4 == 3;
        if (trust[1] == path("root.pem") && verifies) {
          EXPECT_EQ(read_text(payload), "payload " + std::to_string(index) + "\n");
        } else {
          EXPECT_FALSE(std::filesystem::exists(payload)) << payload;
        }
      }
    }
    EXPECT_EQ(expected_status, 2);  // the missing file
  }

  // Only verification failures: status 1; all verified: 0.
  const auto rejected = run_norvan({"verify", "-t", path("root.pem"), "--output-dir", path("out1.pem"), messages[0], messages[1]});
  EXPECT_EQ(rejected.exit_status, 1);
  EXPECT_EQ(rejected.err, messages[1] + ": HashValueError: Different hash values for raw and signed payload digests\n");
  const auto verified = run_norvan({"verify", "-t", path("root.pem"), "--output-dir", path("out1.pem"), messages[0], messages[3]});
  EXPECT_EQ(verified.exit_status, 0) << verified.err;
  EXPECT_EQ(verified.err, "");
}

// A signal ends a batch as it ends a single verification, and no payload is left half put in
// place: every payload file there is whole, and no temporary name remains.
TEST_F(VerifyCommand, OutputDirEndsOnASignalWithEveryPayloadWhole) {
  std::filesystem::create_directory(dir_ / "in");
  std::vector<std::string> args{"verify", "-t", path("root.pem"), "--jobs", "2", "--output-dir", ""};
  for (int index = 0; index < 3000; ++index) {  // far more than are verified before the signal
    const std::string name = path("in/m" + std::to_string(index) + ".eml");
    std::filesystem::create_symlink(path("good.txt"), name);
    args.push_back(name);
  }
  for (const int signal : {SIGINT, SIGTERM}) {
    const std::filesystem::path out = dir_ / ("out" + std::to_string(signal));
    std::filesystem::create_directory(out);
    args[6] = out.string();
    RunningNorvan batch(args);
    for (int waited = 0; std::filesystem::is_empty(out) && waited < 60'000; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(std::filesystem::is_empty(out)) << "no payload written within a minute";
    EXPECT_EQ(batch.kill_and_wait(signal), -signal);
    std::size_t payloads = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
      EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
      EXPECT_EQ(read_text(entry.path()), "payload\n") << entry.path();
      ++payloads;
    }
    EXPECT_LT(payloads, 3000u) << "signal " << signal;
  }
}

// What cannot work is refused before any message is verified, with status 2.
TEST_F(VerifyCommand, OutputDirRefusesWhatCannotWork) {
  std::filesystem::create_directories(dir_ / "a");
  std::filesystem::create_directories(dir_ / "b");
  std::filesystem::create_directories(dir_ / "out");
  std::filesystem::copy_file(dir_ / "good.txt", dir_ / "a" / "same.eml");
  std::filesystem::copy_file(dir_ / "good.txt", dir_ / "b" / "same");
  const auto expect_refused = [&](const std::vector<std::string>& args, const std::string& err) {
    std::vector<std::string> argv{"verify", "-t", path("root.pem")};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = run_norvan(argv);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.err.find(err), std::string::npos) << result.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "out"));
  };
  expect_refused({"--output-dir", path("out"), path("a/same.eml"), path("b/same")},
                 "Messages '" + path("a/same.eml") + "' and '" + path("b/same") + "' would both write '" +
                     path("out/same") + "'");
  expect_refused({"--output-dir", path("missing"), path("good.txt")},
                 "Cannot write payloads to '" + path("missing") + "': it does not exist or is not a directory");
  expect_refused({"--output-dir", path("out"), "-"}, "Standard input ('-') cannot be used with --output-dir");
  expect_refused({path("good.txt"), path("good.txt")}, "Several messages need --output-dir DIR");
  expect_refused({"--jobs", "2", path("good.txt")}, "--jobs requires --output-dir");
  expect_refused({"--output-dir", path("out"), "--jobs", "0", path("good.txt")}, "--jobs");
  expect_refused({"--output-dir", path("out"), "-o", path("x"), path("good.txt")}, "excludes");
}

}  // namespace
