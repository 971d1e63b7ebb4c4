#include "norvan/binary_image/drovane.hpp"
#include "norvan/binary_image/kelvory.hpp"
#include "norvan/common/file_lock.hpp"
#include "norvan/common/files.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using namespace norvan::binary_image;
using norvan::testing::read_text;
using norvan::testing::TempDir;
using norvan::testing::write_file;

constexpr const char* kPyproject =
    "[project]\nname = \"demo\"\nversion = \"2.0\"\nrequires-python = \">=3.10\"\ndependencies = [\"attrs\"]\n"
    "[tool.poetry]\npackages = [{ include = \"demo\" }]\n";

constexpr const char* kHatchForm =
    "[project]\nname = \"demo\"\nversion = \"2.0\"\ndescription = \"\"\nreadme = \"README.md\"\nkeywords = []\n"
    "license = \"LicenseRef-Proprietary\"\nclassifiers = []\nauthors = []\ndependencies = [\"attrs\"]\n"
    "requires-python = \">=3.10\"\n\n[build-system]\nbuild-backend = \"hatchling.build\"\nrequires = [\"hatchling\"]\n";

// Records the directories it is asked to change to.
class RecordingSession : public nox::DefaultSession {
 public:
  void chdir(const fs::path& path) override {
    visited.push_back(path);
    DefaultSession::chdir(path);
  }
  std::vector<fs::path> visited;
};

class WorkFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A project root with a pyproject.toml; the working directory is put back afterwards, as the
// set-up leaves the process in the project root.
class HatchProjectSetup : public ::testing::Test {
 protected:
  void SetUp() override { write_file(root / "pyproject.toml", kPyproject); }
  void TearDown() override { fs::current_path(saved_cwd_); }

  void run(const std::function<void()>& work) { kelvory::hatch_project_setup(session, work, {root.path()}); }
  void expect_restored() {
    EXPECT_EQ(read_text(root / "pyproject.toml"), kPyproject);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "_tmp")));
  }

  TempDir root;
  TempDir outside;
  RecordingSession session;

 private:
  fs::path saved_cwd_ = fs::current_path();
};

TEST_F(HatchProjectSetup, WorkSeesTheHatchFormAndTheProjectIsRestored) {
  std::string seen;
  ::testing::internal::CaptureStdout();
  run([&] { seen = read_text("pyproject.toml"); });
  const std::string printed = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(seen, kHatchForm);
  EXPECT_EQ(printed, std::string("Content of _tmp/hatch_pyproject.toml:\n ") + kHatchForm + "\n");
  expect_restored();
  EXPECT_EQ(session.visited, std::vector<fs::path>{root.path()});
  EXPECT_TRUE(fs::equivalent(fs::current_path(), root.path()));
}

TEST_F(HatchProjectSetup, FailingWorkKeepsItsOwnErrorAfterTheRestore) {
  ::testing::internal::CaptureStdout();
  try {
    run([] { throw WorkFailed("the build broke"); });
    ADD_FAILURE() << "the work's error was swallowed";
  } catch (const WorkFailed& e) {
    EXPECT_STREQ(e.what(), "the build broke");
  }
  ::testing::internal::GetCapturedStdout();
  expect_restored();
}

TEST_F(HatchProjectSetup, ConversionFailureRunsTheCleanUpAndSkipsTheWork) {
  write_file(root / "pyproject.toml", "[project]\nname = \"x\"\nversion = \"1\"\ndependencies = []\n");
  bool worked = false;
  try {
    run([&] { worked = true; });
    ADD_FAILURE() << "no error";
  } catch (const drovane::MissingKeyError& e) {
    EXPECT_EQ(e.key(), "requires-python");
    EXPECT_NE(std::string(e.what()).find("Missing key 'requires-python' in table [project] of '"), std::string::npos);
  }
  EXPECT_FALSE(worked);
  EXPECT_EQ(read_text(root / "pyproject.toml"), "[project]\nname = \"x\"\nversion = \"1\"\ndependencies = []\n");
  EXPECT_FALSE(fs::exists(root / "_tmp"));

  fs::remove(root / "pyproject.toml");
  EXPECT_THROW(run([] {}), norvan::FileError);
  EXPECT_TRUE(fs::is_empty(root / "_tmp")) << "a failure before the conversion leaves _tmp";
}

TEST_F(HatchProjectSetup, ExistingWorkDirectoryAndStaleFilesAreReplaced) {
  fs::create_directories(root / "_tmp" / "nested");
  write_file(root / "_tmp" / "nested" / "other.txt", "other");
  write_file(root / "_tmp" / "poetry_pyproject.toml", "stale = true\n");
  write_file(root / "_tmp" / "hatch_pyproject.toml", "stale = true\n");
  fs::permissions(root / "_tmp" / "hatch_pyproject.toml", fs::perms::owner_read);
  std::string seen;
  ::testing::internal::CaptureStdout();
  run([&] { seen = read_text(root / "_tmp" / "poetry_pyproject.toml"); });
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(seen, kPyproject);
  expect_restored();
}

TEST_F(HatchProjectSetup, SymbolicLinksNeverLeadOutsideTheWorkDirectory) {
  // Stale files that are links to files elsewhere: the links go, the files stay.
  fs::create_directory(root / "_tmp");
  write_file(outside / "precious.toml", "precious\n");
  fs::create_symlink(outside / "precious.toml", root / "_tmp" / "poetry_pyproject.toml");
  fs::create_symlink(outside / "precious.toml", root / "_tmp" / "hatch_pyproject.toml");
  ::testing::internal::CaptureStdout();
  run([] {});
  EXPECT_EQ(read_text(outside / "precious.toml"), "precious\n");
  expect_restored();

  // _tmp itself a link to a directory elsewhere: nothing there is written or deleted.
  write_file(outside / "poetry_pyproject.toml", "mine\n");
  write_file(outside / "hatch_pyproject.toml", "mine too\n");
  fs::create_directory_symlink(outside.path(), root / "_tmp");
  std::vector<std::string> listed;
  run([&] {
    for (const auto& entry : fs::directory_iterator(outside.path())) listed.push_back(entry.path().filename());
  });
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(listed.size(), 3u);
  EXPECT_EQ(read_text(outside / "poetry_pyproject.toml"), "mine\n");
  EXPECT_EQ(read_text(outside / "hatch_pyproject.toml"), "mine too\n");
  EXPECT_EQ(read_text(outside / "precious.toml"), "precious\n");
  expect_restored();
}

TEST_F(HatchProjectSetup, CleanUpActsOnTheProjectRootAfterTheWorkMovedAway) {
  write_file(outside / "pyproject.toml", "elsewhere\n");
  ::testing::internal::CaptureStdout();
  run([&] { fs::current_path(outside.path()); });
  ::testing::internal::GetCapturedStdout();
  expect_restored();
  EXPECT_EQ(read_text(outside / "pyproject.toml"), "elsewhere\n");
}

TEST_F(HatchProjectSetup, FailingCleanUpIsReportedWithTheEarlierErrorAsContext) {
  const auto lose_saved_copy = [&] { fs::remove(root / "_tmp" / "poetry_pyproject.toml"); };
  ::testing::internal::CaptureStdout();
  try {
    run([&] {
      lose_saved_copy();
      throw WorkFailed("the build broke");
    });
    ADD_FAILURE() << "no error";
  } catch (const kelvory::CleanupError& e) {
    EXPECT_NE(std::string(e.what()).find("poetry_pyproject.toml"), std::string::npos) << e.what();
    EXPECT_THROW(std::rethrow_exception(e.cause()), norvan::FileError);
    EXPECT_THROW(e.rethrow_nested(), WorkFailed);
  }
  EXPECT_TRUE(fs::exists(root / "_tmp")) << "a failed restore keeps the work directory";

  // Without an earlier error the clean-up's own error comes out unchanged.
  EXPECT_THROW(run(lose_saved_copy), norvan::FileError);
  ::testing::internal::GetCapturedStdout();
}

// What a set-up killed during the work leaves: the Hatch form in place, the original saved.
TEST_F(HatchProjectSetup, AnInterruptedEarlierScopeIsRecoveredBeforeAnythingIsDeleted) {
  fs::create_directory(root / "_tmp");
  write_file(root / "_tmp" / "poetry_pyproject.toml", kPyproject);
  write_file(root / "_tmp" / "hatch_pyproject.toml", kHatchForm);
  write_file(root / "pyproject.toml", kHatchForm);
  std::string seen;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  run([&] { seen = read_text("pyproject.toml"); });
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Restored pyproject.toml from _tmp/poetry_pyproject.toml: an earlier hatch-project set-up ended "
            "before it could put the original back\n");
  EXPECT_EQ(seen, kHatchForm) << "the work sees the conversion of the original, not of the Hatch form";
  expect_restored();

  // A project file that differs from the stale Hatch copy by one byte is the user's: the stale
  // files are deleted as always, and nothing is said.
  fs::create_directory(root / "_tmp");
  write_file(root / "_tmp" / "poetry_pyproject.toml", "stale = true\n");
  write_file(root / "_tmp" / "hatch_pyproject.toml", std::string(kPyproject) + " ");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  run([] {});
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  expect_restored();
}

TEST_F(HatchProjectSetup, ASecondScopeOnTheProjectFailsAtOnceAndTheLockFileGoes) {
  const fs::path lock_file = root / kelvory::LOCK_FILE_NAME;
  bool inner_ran = false;
  ::testing::internal::CaptureStdout();
  run([&] {
    EXPECT_TRUE(fs::exists(lock_file));
    norvan::testing::expect_error<norvan::LockHeldError>(
        [&] { run([&] { inner_ran = true; }); },
        "Another hatch-project set-up is running in '" + root.path().string() + "' (it holds '" +
            lock_file.string() + "'); run this one when it has finished");
    EXPECT_EQ(read_text("pyproject.toml"), kHatchForm) << "the refused scope touched the project";
  });
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(inner_ran);
  expect_restored();
  EXPECT_FALSE(fs::exists(lock_file));

  // A lock file left by a killed holder is taken over; a lock file that is a link is refused.
  write_file(lock_file, "");
  ::testing::internal::CaptureStdout();
  run([] {});
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(fs::exists(lock_file));
  fs::create_symlink(outside / "elsewhere", lock_file);
  norvan::testing::expect_error<norvan::FileError>([&] { run([] {}); }, "Cannot take the lock file '");
  EXPECT_FALSE(fs::exists(outside / "elsewhere"));
  EXPECT_EQ(read_text(root / "pyproject.toml"), kPyproject);
}

// A session embedded in another runtime (Python's nox) takes the record on its own stream.
TEST_F(HatchProjectSetup, RecordGoesThroughTheSessionsOutputStream) {
  class StreamingSession : public RecordingSession {
   public:
    void write_output(std::string_view text) override { written += text; }
    std::string written;
  } streaming;
  ::testing::internal::CaptureStdout();
  kelvory::hatch_project_setup(streaming, [] {}, {root.path()});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(streaming.written, std::string("Content of _tmp/hatch_pyproject.toml:\n ") + kHatchForm + "\n");
  expect_restored();
}

}  // namespace
