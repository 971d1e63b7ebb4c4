#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

using norvan::testing::run_norvan;

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
