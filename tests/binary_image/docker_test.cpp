#include "norvan/binary_image/docker.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace norvan::binary_image;
using docker::Arg;
using docker::run_subprocess;
using norvan::testing::read_text;
using norvan::testing::TempDir;
using norvan::testing::write_file;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// Records the exit codes it is given and lets the caller carry on.
class RecordingSession : public nox::Session {
 public:
  void chdir(const fs::path&) override { ADD_FAILURE() << "chdir is not used here"; }
  void error(int code) override { codes.push_back(code); }
  std::vector<int> codes;
};

std::string report(int code, const std::string& command, const std::string& out, const std::string& err) {
  return "\x1b[31msubprocess.run() returned exit code: " + std::to_string(code) + "\ncommand: " + command +
         "\nstdout: " + out + "\nstderr: " + err + "\n";
}

// Runs `args` with standard error captured; returns what was written there.
std::string stderr_of(nox::Session& session, const std::vector<Arg>& args, bool verbose = false) {
  CaptureStderr();
  run_subprocess(session, args, verbose);
  return GetCapturedStderr();
}

// Takes the report through the session's own error stream, as a session embedded in another
// runtime (Python's nox) does.
class StreamingSession : public RecordingSession {
 public:
  void write_error_output(std::string_view text) override { written += text; }
  std::string written;
};

TEST(RunSubprocess, ReportGoesThroughTheSessionsErrorStream) {
  StreamingSession session;
  EXPECT_EQ(stderr_of(session, {"sh", "-c", "echo hello; exit 3"}), "");
  EXPECT_EQ(session.written, report(3, "sh -c echo hello; exit 3", "hello", ""));
  EXPECT_EQ(session.codes, std::vector<int>{3});
}

TEST(RunSubprocess, SuccessIsSilentAndFailureIsReportedThenHandedToTheSession) {
  RecordingSession session;
  EXPECT_EQ(stderr_of(session, {"sh", "-c", "echo fine; echo also fine >&2"}), "");
  EXPECT_TRUE(session.codes.empty());

  EXPECT_EQ(stderr_of(session, {"sh", "-c", "echo hello; exit 3"}),
            report(3, "sh -c echo hello; exit 3", "hello", ""));
  EXPECT_EQ(session.codes, std::vector<int>{3});

  // Whitespace around captured text goes, line ends become LF, inner line feeds stay.
  session.codes.clear();
  EXPECT_EQ(stderr_of(session, {"sh", "-c", "printf '  \\r\\n a\\r\\nb \\r c\\n\\n'; printf '\\terr\\n' >&2; exit 1"}),
            report(1, "sh -c printf '  \\r\\n a\\r\\nb \\r c\\n\\n'; printf '\\terr\\n' >&2; exit 1", "a\nb \n c",
                   "err"));

  // Numbers and paths are passed by their text form.
  EXPECT_EQ(stderr_of(session, {"sh", "-c", "echo \"$0|$1\"; exit 4", 42, fs::path("/tmp/a b")}),
            report(4, "sh -c echo \"$0|$1\"; exit 4 42 /tmp/a b", "42|/tmp/a b", ""));

  EXPECT_EQ(stderr_of(session, {"sh", "-c", "kill -KILL $$"}), report(-9, "sh -c kill -KILL $$", "", ""));
  EXPECT_EQ(session.codes, (std::vector<int>{1, 4, -9}));
}

TEST(RunSubprocess, VerboseOutputGoesStraightThroughAndTheReportHasNone) {
  RecordingSession session;
  CaptureStdout();
  const std::string err = stderr_of(session, {"sh", "-c", "echo shown; echo also shown >&2; exit 2"}, true);
  EXPECT_EQ(GetCapturedStdout(), "shown\n");
  EXPECT_EQ(err, "also shown\n" + report(2, "sh -c echo shown; echo also shown >&2; exit 2", "", ""));
  EXPECT_EQ(session.codes, std::vector<int>{2});
}

TEST(RunSubprocess, DefaultSessionEndsTheRunWithItsExitCode) {
  nox::DefaultSession session;
  CaptureStderr();
  try {
    run_subprocess(session, {"sh", "-c", "exit 5"});
    ADD_FAILURE() << "no error";
  } catch (const nox::SessionError& e) {
    EXPECT_EQ(e.exit_code(), 5);
    EXPECT_STREQ(e.what(), "The session failed: a command ended with exit code 5");
  }
  EXPECT_EQ(GetCapturedStderr(), report(5, "sh -c exit 5", "", ""));
}

TEST(RunSubprocess, ChildWritingMuchToBothStreamsFinishes) {
  // 50 MB to each stream, interleaved in 1 MB pieces, far more than a pipe holds.
  RecordingSession session;
  const std::string err = stderr_of(
      session, {"sh", "-c",
                "i=0; while [ $i -lt 50 ]; do head -c 1048576 /dev/zero | tr '\\0' o; "
                "head -c 1048576 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done; exit 6"});
  EXPECT_EQ(session.codes, std::vector<int>{6});
  const std::size_t mb50 = 50u * 1048576u;
  const std::size_t out_at = err.find("\nstdout: ") + 9;
  const std::size_t err_at = err.find("\nstderr: ") + 9;
  EXPECT_EQ(err_at - out_at - 9, mb50);
  EXPECT_EQ(err.size() - err_at - 1, mb50);
  EXPECT_EQ(err.find_first_not_of('o', out_at), out_at + mb50);
}

TEST(RunSubprocess, StartAndDecodingFailuresReachTheCallerWithoutAReport) {
  RecordingSession session;
  CaptureStderr();
  try {
    run_subprocess(session, {"norvan-no-such-program", "x"});
    ADD_FAILURE() << "no error";
  } catch (const docker::StartError& e) {
    EXPECT_STREQ(e.what(), "Cannot start 'norvan-no-such-program': No such file or directory");
  }
  TempDir dir;
  write_file(dir / "not-executable", "#!/bin/sh\n");
  EXPECT_THROW(run_subprocess(session, {dir / "not-executable"}), docker::StartError);
  try {
    run_subprocess(session, {"sh", "-c", "printf 'ok\\377'; exit 2"});
    ADD_FAILURE() << "no error";
  } catch (const docker::DecodingError& e) {
    EXPECT_STREQ(e.what(), "The standard output of 'sh' is not UTF-8 text: byte 0xFF at offset 2");
  }
  EXPECT_THROW(run_subprocess(session, {}), std::invalid_argument);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_TRUE(session.codes.empty());
}

// Puts a stand-in `docker` program first on PATH for the test's length. It records its
// arguments and the Dockerfile it finds in the build context, then exits with `status`.
class FakeDocker {
 public:
  explicit FakeDocker(int status) {
    write_file(bin_ / "docker",
               "#!/bin/sh\nprintf '%s\\n' \"$(basename \"$0\")\" \"$@\" > '" + (bin_ / "args").string() + "'\n"
               "cat \"$4/Dockerfile\" > '" + (bin_ / "dockerfile").string() + "'\n"
               "echo 'building...'\necho 'no engine here' >&2\nexit " + std::to_string(status) + "\n");
    fs::permissions(bin_ / "docker", fs::perms::owner_all);
    if (const char* path = std::getenv("PATH")) saved_path_ = path;
    ::setenv("PATH", (bin_.path().string() + ":" + saved_path_.value_or("/usr/bin:/bin")).c_str(), 1);
  }
  FakeDocker(const FakeDocker&) = delete;
  FakeDocker& operator=(const FakeDocker&) = delete;
  ~FakeDocker() {
    if (saved_path_) ::setenv("PATH", saved_path_->c_str(), 1);
    else ::unsetenv("PATH");
  }
  std::vector<std::string> args() const {
    std::vector<std::string> lines;
    std::istringstream text(read_text(bin_ / "args"));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  std::string dockerfile() const { return read_text(bin_ / "dockerfile"); }

 private:
  TempDir bin_;
  std::optional<std::string> saved_path_;
};

TEST(BuildDockerImage, BuildsFromATemporaryContextThatIsRemovedAfterwards) {
  const std::string dockerfile = "FROM debian:bookworm\nRUN echo \"ünïcode\"\n";
  {
    FakeDocker fake(0);
    RecordingSession session;
    CaptureStderr();
    docker::build_docker_image(session, "img:1", dockerfile);
    EXPECT_EQ(GetCapturedStderr(), "");
    const auto args = fake.args();
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + 4),
              (std::vector<std::string>{"docker", "build", "-t", "img:1"}));
    EXPECT_TRUE(args[4].starts_with(fs::temp_directory_path().string())) << args[4];
    EXPECT_EQ(fake.dockerfile(), dockerfile);
    EXPECT_FALSE(fs::exists(args[4])) << "the build context is removed";
    EXPECT_TRUE(session.codes.empty());
  }
  {
    FakeDocker fake(1);
    nox::DefaultSession session;
    CaptureStderr();
    EXPECT_THROW(docker::build_docker_image(session, "img:2", dockerfile), nox::SessionError);
    const auto args = fake.args();
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(GetCapturedStderr(),
              report(1, "docker build -t img:2 " + args[4], "building...", "no engine here"));
    EXPECT_FALSE(fs::exists(args[4])) << "the build context is removed after a failure too";
  }
}

}  // namespace
