#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <future>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

namespace fs = std::filesystem;
using norvan::testing::read_text;
using norvan::testing::run_norvan;
using norvan::testing::run_process;
using norvan::testing::TempDir;
using norvan::testing::write_file;

constexpr const char* kPyproject =
    "[project]\nname = \"demo\"\nversion = \"2.0\"\nrequires-python = \">=3.10\"\n"
    "dependencies = [\"attrs\"]\nlicense = \"Proprietary\"\n";

class BuildCommand : public ::testing::Test {
 protected:
  void SetUp() override { write_file(root / "pyproject.toml", kPyproject); }
  void expect_restored() {
    EXPECT_EQ(read_text(root / "pyproject.toml"), kPyproject);
    EXPECT_FALSE(fs::exists(root / "_tmp"));
  }
  std::vector<std::string> hatch_project(const std::vector<std::string>& command) {
    std::vector<std::string> args{"build", "hatch-project", "--root", root.path().string(), "--"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }
  TempDir root;
};

TEST_F(BuildCommand, HatchProjectRunsTheCommandOnTheHatchFormAndRestores) {
  const auto result = run_norvan(hatch_project({"cat", "pyproject.toml"}));
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const std::string header = "Content of _tmp/hatch_pyproject.toml:\n ";
  ASSERT_EQ(result.out.rfind(header, 0), 0u) << result.out;
  // The record (the converted text and an empty line), then the command's own output: the same text.
  const std::string converted = result.out.substr(header.size(), (result.out.size() - header.size() - 1) / 2);
  EXPECT_EQ(result.out, header + converted + "\n" + converted);
  EXPECT_NE(converted.find("license = \"LicenseRef-Proprietary\"\n"), std::string::npos);
  EXPECT_TRUE(converted.ends_with("\n[build-system]\nbuild-backend = \"hatchling.build\"\nrequires = [\"hatchling\"]\n"));
  expect_restored();
}

TEST_F(BuildCommand, HatchProjectKeepsTheCommandsFailureAndRestores) {
  const auto failed = run_norvan(hatch_project({"sh", "-c", "echo oops >&2; exit 7"}));
  EXPECT_EQ(failed.exit_status, 7);
  EXPECT_EQ(failed.err, "oops\n\x1b[31msubprocess.run() returned exit code: 7\ncommand: sh -c echo oops >&2; exit 7\n"
                        "stdout: \nstderr: \n");
  expect_restored();

  const auto killed = run_norvan(hatch_project({"sh", "-c", "kill -TERM $$"}));
  EXPECT_EQ(killed.exit_status, 128 + 15);
  expect_restored();

  // Ctrl-C reaches the whole process group: the command dies of it, norvan lives to restore.
  const auto interrupted = run_process({"setsid", NORVAN_PROGRAM, "build", "hatch-project", "--root",
                                        root.path().string(), "--", "sh", "-c", "kill -INT 0; sleep 10"});
  EXPECT_EQ(interrupted.exit_status, 128 + 2) << interrupted.err;
  expect_restored();

  const auto missing = run_norvan(hatch_project({"norvan-no-such-program"}));
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "Cannot start 'norvan-no-such-program': No such file or directory\n");
  expect_restored();
}

TEST_F(BuildCommand, ConvertPyprojectWritesTheHatchFileOrNamesTheMissingKey) {
  const auto converted = run_norvan({"build", "convert-pyproject", (root / "pyproject.toml").string(),
                                     (root / "hatch.toml").string()});
  EXPECT_EQ(converted.exit_status, 0) << converted.err;
  EXPECT_NE(read_text(root / "hatch.toml").find("name = \"demo\"\n"), std::string::npos);

  write_file(root / "broken.toml", "[project]\nname = \"x\"\nversion = \"1\"\ndependencies = []\n");
  const auto failed = run_norvan({"build", "convert-pyproject", (root / "broken.toml").string(),
                                  (root / "out.toml").string()});
  EXPECT_EQ(failed.exit_status, 1);
  EXPECT_EQ(failed.err, "Missing key 'requires-python' in table [project] of '" + (root / "broken.toml").string() + "'\n");
  EXPECT_FALSE(fs::exists(root / "out.toml"));
}

// A device, a FIFO or a link to one is written in place: it must still be there afterwards.
TEST_F(BuildCommand, ConvertPyprojectWritesIntoSpecialFilesWithoutReplacingThem) {
  const std::string source = (root / "pyproject.toml").string();
  fs::path full = "/dev/full";
  if (::mknod((root / "full").c_str(), S_IFCHR | 0666, ::makedev(1, 7)) == 0) full = root / "full";
  fs::create_symlink(full, root / "to-full");
  for (const fs::path& target : {full, root / "to-full"}) {
    const auto result = run_norvan({"build", "convert-pyproject", source, target.string()});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "Cannot write the Hatch project file '" + target.string() + "': No space left on device\n");
    struct stat info {};
    ASSERT_EQ(::stat(full.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode)) << target;
  }
  EXPECT_TRUE(fs::is_symlink(root / "to-full"));

  const auto fifo = root / "hatch.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto received = std::async(std::launch::async, [&] { return read_text(fifo); });
  const auto through_fifo = run_norvan({"build", "convert-pyproject", source, fifo.string()});
  EXPECT_EQ(through_fifo.exit_status, 0) << through_fifo.err;
  EXPECT_NE(received.get().find("name = \"demo\"\n"), std::string::npos);
  EXPECT_TRUE(fs::is_fifo(fifo));

  const auto endless = run_norvan({"build", "convert-pyproject", "/dev/zero", (root / "out.toml").string()});
  EXPECT_EQ(endless.exit_status, 1);
  EXPECT_EQ(endless.err, "Cannot read the project file '/dev/zero': it is larger than 16 MiB, the limit for this input\n");
}

TEST_F(BuildCommand, DockerImageReadsTheDockerfileFromStandardInput) {
  write_file(root / "docker", "#!/bin/sh\ncat \"$4/Dockerfile\" > \"$(dirname \"$0\")/seen\"\necho \"tag $3\"\nexit ${FAIL:-0}\n");
  fs::permissions(root / "docker", fs::perms::owner_all);
  const std::string path = "PATH=" + root.path().string() + ":/usr/bin:/bin";
  const auto built = run_process({"env", path, NORVAN_PROGRAM, "build", "docker-image", "img:1", "-"}, "FROM scratch\n");
  EXPECT_EQ(built.exit_status, 0) << built.err;
  EXPECT_EQ(built.out + built.err, "");
  EXPECT_EQ(read_text(root / "seen"), "FROM scratch\n");

  const auto failed = run_process({"env", path, "FAIL=3", NORVAN_PROGRAM, "build", "docker-image", "img:2", "-"}, "FROM x\n");
  EXPECT_EQ(failed.exit_status, 3);
  EXPECT_NE(failed.err.find("returned exit code: 3\ncommand: docker build -t img:2 "), std::string::npos) << failed.err;
  EXPECT_NE(failed.err.find("\nstdout: tag img:2\n"), std::string::npos) << failed.err;

  const auto unreadable = run_norvan({"build", "docker-image", "img:3", (root / "absent").string()});
  EXPECT_EQ(unreadable.exit_status, 1);
  EXPECT_EQ(unreadable.err.rfind("Cannot read the Dockerfile '" + (root / "absent").string() + "'", 0), 0u) << unreadable.err;
}

TEST(BuildHelp, ListsTheSubCommands) {
  const auto help = run_norvan({"build", "--help"});
  EXPECT_EQ(help.exit_status, 0);
  for (const char* name : {"convert-pyproject", "hatch-project", "docker-image"}) {
    EXPECT_NE(help.out.find(name), std::string::npos) << name;
  }
  EXPECT_NE(run_norvan({"--help"}).out.find("build"), std::string::npos);
  EXPECT_EQ(run_norvan({"build"}).exit_status, 2);
}

}  // namespace
