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

// Output that cannot be written (a full device) is a failure, reported on one line.
TEST(Program, HelpAndVersionToAFullDeviceFail) {
  for (const char* option : {"--help", "--version"}) {
    const auto full = run_process({"sh", "-c", std::string("exec \"$0\" ") + option + " > /dev/full", NORVAN_PROGRAM});
    EXPECT_EQ(full.exit_status, 1) << option;
    EXPECT_EQ(full.err, "norvan: Cannot write to standard output: No space left on device\n") << option;
  }
}
