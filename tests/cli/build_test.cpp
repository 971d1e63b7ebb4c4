#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

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

  // Ctrl-C reaches the whole process group: the command dies of it, norvan restores, then ends
  // by the same signal.
  const auto interrupted = run_process({"setsid", NORVAN_PROGRAM, "build", "hatch-project", "--root",
                                        root.path().string(), "--", "sh", "-c", "kill -INT 0; sleep 10"});
  EXPECT_EQ(interrupted.exit_status, -SIGINT) << interrupted.err;
  expect_restored();

  const auto missing = run_norvan(hatch_project({"norvan-no-such-program"}));
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "Cannot start 'norvan-no-such-program': No such file or directory\n");
  expect_restored();
}

// Runs norvan with `args` and its standard output a pipe that nobody reads any more, its
// standard error into `err_file`; returns the wait status.
int run_norvan_into_closed_pipe(const std::vector<std::string>& args, const fs::path& err_file) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
  ::close(pipe_ends[0]);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(pipe_ends[1], STDOUT_FILENO);
    const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(NORVAN_PROGRAM)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_ends[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

// Every signal that would end norvan runs the restore first; norvan then ends by that signal.
TEST_F(BuildCommand, HatchProjectRestoresOnEverySignalAndEndsByIt) {
  // SIGPIPE: the record cannot be printed, the command never starts.
  const int piped = run_norvan_into_closed_pipe(hatch_project({"touch", "ran"}), root / "err");
  EXPECT_TRUE(WIFSIGNALED(piped) && WTERMSIG(piped) == SIGPIPE) << piped;
  EXPECT_EQ(read_text(root / "err"), "Cannot write to standard output\n");
  EXPECT_FALSE(fs::exists(root / "ran"));
  fs::remove(root / "err");
  expect_restored();

  // A signal sent to norvan alone is passed on to the command, whose end is reported. No core
  // files from SIGQUIT.
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  for (const int signal : {SIGTERM, SIGQUIT, SIGHUP, SIGUSR1, SIGALRM}) {
    const std::string kill = "kill -" + std::to_string(signal) + " $PPID; exec sleep 20";
    const auto ended = run_norvan(hatch_project({"sh", "-c", kill}));
    EXPECT_EQ(ended.exit_status, -signal) << ended.err;
    EXPECT_EQ(ended.err, "\x1b[31msubprocess.run() returned exit code: -" + std::to_string(signal) +
                             "\ncommand: sh -c " + kill + "\nstdout: \nstderr: \n");
    expect_restored();
  }
}

TEST_F(BuildCommand, HatchProjectKilledIsRecoveredByTheNextRun) {
  const auto killed = run_norvan(hatch_project({"sh", "-c", "kill -KILL $PPID"}));
  EXPECT_EQ(killed.exit_status, -SIGKILL);
  ASSERT_NE(read_text(root / "pyproject.toml"), kPyproject) << "the kill came too late to test anything";
  EXPECT_EQ(read_text(root / "_tmp" / "poetry_pyproject.toml"), kPyproject);

  const auto next = run_norvan(hatch_project({"cat", "pyproject.toml"}));
  EXPECT_EQ(next.exit_status, 0) << next.err;
  EXPECT_EQ(next.err, "Restored pyproject.toml from _tmp/poetry_pyproject.toml: an earlier hatch-project set-up "
                      "ended before it could put the original back\n");
  EXPECT_NE(next.out.find("license = \"LicenseRef-Proprietary\"\n"), std::string::npos) << next.out;
  expect_restored();
  EXPECT_FALSE(fs::exists(root / ".pyproject.toml.lock"));
}

TEST_F(BuildCommand, ConcurrentHatchProjectsNeverLoseTheOriginal) {
  const std::string script =
      "for i in 1 2 3 4 5 6 7 8; do (\"$0\" build hatch-project --root \"$1\" -- sh -c 'grep -q build-system "
      "pyproject.toml' 2>>\"$2\"; echo $? >>\"$3\") & done; wait";
  const fs::path errors = root.path().string() + ".err", statuses = root.path().string() + ".status";
  const auto ran = run_process({"sh", "-c", script, NORVAN_PROGRAM, root.path().string(), errors, statuses});
  ASSERT_EQ(ran.exit_status, 0) << ran.err;
  std::istringstream listed(read_text(statuses)), lines(read_text(errors));
  fs::remove(errors);
  fs::remove(statuses);
  std::vector<int> codes;
  for (int code; listed >> code;) codes.push_back(code);
  ASSERT_EQ(codes.size(), 8u);
  const auto succeeded = std::count(codes.begin(), codes.end(), 0);
  const auto refused = std::count(codes.begin(), codes.end(), 1);
  EXPECT_GE(succeeded, 1);
  EXPECT_EQ(succeeded + refused, 8) << "an exit status other than 0 or 1";
  long refusals = 0;
  for (std::string line; std::getline(lines, line); ++refusals) {
    EXPECT_EQ(line.rfind("Another hatch-project set-up is running in '", 0), 0u) << line;
  }
  EXPECT_EQ(refusals, refused);
  expect_restored();
  EXPECT_FALSE(fs::exists(root / ".pyproject.toml.lock"));
}

TEST_F(BuildCommand, ConvertPyprojectWritesTheHatchFileOrNamesTheMissingKey) {
  const auto converted = run_norvan({"build", "convert-pyproject", (root / "pyproject.toml").string(),
                                     (root / "hatch.toml").string()});
  EXPECT_EQ(converted.exit_status, 0) << converted.err;
  EXPECT_NE(read_text(root / "hatch.toml").find("name = \"demo\"\n"), std::string::npos);
  // '-' is standard output, not a file named '-'.
  const auto to_stdout = run_process({"sh", "-c", "cd \"$1\" && exec \"$0\" build convert-pyproject pyproject.toml -",
                                      NORVAN_PROGRAM, root.path().string()});
  EXPECT_EQ(to_stdout.exit_status, 0) << to_stdout.err;
  EXPECT_EQ(to_stdout.out, read_text(root / "hatch.toml"));
  EXPECT_FALSE(fs::exists(root / "-"));

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
