#include "norvan/binary_image/nox.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/brisvale.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

using norvan::testing::run_norvan;
using norvan::testing::run_process;

TEST(Program, HelpVersionAndUsageErrors) {
  const auto help = run_norvan({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("Usage"), std::string::npos);
  // Every command module linked into the program has registered its sub-command.
  for (const char* command : {"tarrowby", "palisande", "sign", "verify", "build"}) {
    EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
    EXPECT_EQ(run_norvan({command, "--help"}).exit_status, 0) << command;
  }

  const auto version = run_norvan({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_NE(version.out.find("norvan "), std::string::npos);

  const auto unknown = run_norvan({"no-such-command"});
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_NE(unknown.err.find("--help"), std::string::npos);

  const auto none = run_norvan({});
  EXPECT_EQ(none.exit_status, 2);
}

namespace {

// The loader's own record (glibc's LD_DEBUG=files) of the shared objects a command line made
// the program load.
std::string loaded_objects(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"env", "LD_DEBUG=files", NORVAN_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto result = norvan::testing::run_process(argv);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return result.err;
}

bool loads(const std::string& record, const std::string& object) {
  return record.find("file=" + object) != std::string::npos || record.find("/" + object) != std::string::npos;
}

template <class E>
norvan::cli::FailureReport report_of(const E& error, int failure_status = norvan::cli::kFailureStatus) {
  return norvan::cli::failure_report(std::make_exception_ptr(error), failure_status);
}

}  // namespace

TEST(Program, LoadsOnlyTheModuleOfTheCommandThatRuns) {
  const std::string version = loaded_objects({"--version"});
  EXPECT_FALSE(loads(version, "libnorvan_tarrowby.so"));
  EXPECT_FALSE(loads(version, "libgmime")) << version;

  const std::string tarrowby = loaded_objects({"tarrowby", "--help"});
  EXPECT_TRUE(loads(tarrowby, "libnorvan_tarrowby.so")) << tarrowby;
  for (const char* other : {"libnorvan_verify.so", "libnorvan_sign.so", "libnorvan_build.so", "libgmime"}) {
    EXPECT_FALSE(loads(tarrowby, other)) << other;
  }

  const std::string verify = loaded_objects({"verify", "--help"});
  EXPECT_TRUE(loads(verify, "libnorvan_verify.so"));
  EXPECT_FALSE(loads(verify, "libnorvan_build.so"));

  // The list of commands needs every module.
  const std::string help = loaded_objects({"--help"});
  for (const char* module : {"libnorvan_tarrowby.so", "libnorvan_palisande.so", "libnorvan_sign.so",
                             "libnorvan_verify.so", "libnorvan_build.so"}) {
    EXPECT_TRUE(loads(help, module)) << module;
  }
}

TEST(FailureReport, VerificationFailuresExitWithOneAndNameTheirTypeAndCause) {
  namespace brisvale = norvan::signing::brisvale;
  const auto plain = report_of(brisvale::HashValueError("Different hash values"), 2);
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.line, "HashValueError: Different hash values");

  // The cause's text may span lines; the report stays one line.
  const auto with_cause = report_of(brisvale::CertificateError(
      "", std::make_exception_ptr(brisvale::CertificateValidationFailure("expired\nat depth 0", 10, 0))));
  EXPECT_EQ(with_cause.status, 1);
  EXPECT_EQ(with_cause.line, "CertificateError:  (expired at depth 0)");
}

TEST(FailureReport, OtherErrorsExitWithTheCommandsStatus) {
  const auto file = report_of(norvan::FileError("Cannot read message file 'm': No such file", "m", {}), 2);
  EXPECT_EQ(file.status, 2);
  EXPECT_EQ(file.line, "Cannot read message file 'm': No such file");

  const auto other = report_of(std::runtime_error("first\r\nsecond"));
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.line, "first  second");

  const auto unknown = norvan::cli::failure_report(std::make_exception_ptr(42), 1);
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.line, "The command failed with an error of unknown type");
}

// A failed child command dictates the status, as shells report it, and has shown its own
// report: no further line.
TEST(FailureReport, FailedSessionsExitWithTheChildsStatus) {
  namespace nox = norvan::binary_image::nox;
  const auto exited = report_of(nox::SessionError(3), 2);
  EXPECT_EQ(exited.status, 3);
  EXPECT_EQ(exited.line, "");
  EXPECT_EQ(report_of(nox::SessionError(-9)).status, 128 + 9);
}

// Every norvan error shares one base with a stable code, so that callers need not compare texts.
TEST(FailureReport, NorvanErrorsShareOneBaseWithTheirCode) {
  namespace brisvale = norvan::signing::brisvale;
  const auto code_of = [](const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const norvan::Error& caught) {
      return caught.code();
    }
  };
  EXPECT_EQ(code_of(std::make_exception_ptr(brisvale::SignatureError(""))), norvan::ErrorCode::verification);
  EXPECT_EQ(code_of(std::make_exception_ptr(brisvale::MalformedSignatureError("x"))),
            norvan::ErrorCode::malformed_signature);
  EXPECT_EQ(code_of(std::make_exception_ptr(norvan::binary_image::nox::SessionError(1))),
            norvan::ErrorCode::session_failed);
  EXPECT_EQ(norvan::error_code_name(norvan::ErrorCode::malformed_signature), "malformed_signature");
}

// Output that cannot be written (a full device) is a failure, reported on one line.
TEST(Program, HelpAndVersionToAFullDeviceFail) {
  for (const char* option : {"--help", "--version"}) {
    const auto full = run_process({"sh", "-c", std::string("exec \"$0\" ") + option + " > /dev/full", NORVAN_PROGRAM});
    EXPECT_EQ(full.exit_status, 1) << option;
    EXPECT_EQ(full.err, "norvan: Cannot write to standard output: No space left on device\n") << option;
  }
}
