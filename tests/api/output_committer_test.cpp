#include "norvan/api/output_committer.hpp"

#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using namespace norvan;
using namespace norvan::testing;
using norvan::api::OutputCommitter;

std::unique_ptr<FileWriter> written(const std::filesystem::path& target, const std::string& text) {
  auto writer = std::make_unique<FileWriter>(target);
  writer->write(as_bytes(text));
  return writer;
}

struct Committing {
  JobRunner runner;
  TempDir dir;
  std::shared_mutex gate;
  std::atomic<bool> stop{false};
  std::map<std::size_t, std::string> failures;  // written on the committing thread, read after it ended
  OutputCommitter::Failed failed = [this](std::size_t index, std::exception_ptr failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      failures[index] = error.what();
    }
  };
};

// More outputs than may wait at once: every one is in place, whole, once the committer is gone,
// and no temporary name is left.
TEST(OutputCommitter, PutsEveryOutputInPlaceFromItsThread) {
  Committing c;
  constexpr std::size_t kOutputs = 3 * OutputCommitter::kMaxWaiting + 1;
  {
    OutputCommitter committer(c.runner, c.dir.path(), c.gate, c.stop, c.failed);
    for (std::size_t index = 0; index < kOutputs; ++index) {
      const std::string name = "out" + std::to_string(index);
      committer.hand_over(index, written(c.dir.path() / name, name + " payload\n"));
    }
  }
  EXPECT_TRUE(c.failures.empty());
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(c.dir.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(read_text(entry.path()), name + " payload\n");
    ++files;
  }
  EXPECT_EQ(files, kOutputs);
}

// A commit that fails is reported with its index; the others still land.
TEST(OutputCommitter, ReportsAFailedCommitByIndex) {
  Committing c;
  std::filesystem::create_directory(c.dir.path() / "gone");
  {
    OutputCommitter committer(c.runner, c.dir.path(), c.gate, c.stop, c.failed);
    committer.hand_over(0, written(c.dir.path() / "first", "1"));
    auto orphan = written(c.dir.path() / "gone" / "second", "2");
    std::filesystem::remove(c.dir.path() / "gone");  // the unnamed file has no directory to be named in
    committer.hand_over(1, std::move(orphan));
    committer.hand_over(2, written(c.dir.path() / "third", "3"));
  }
  ASSERT_EQ(c.failures.size(), 1u);
  EXPECT_NE(c.failures[1].find("Cannot write '" + (c.dir.path() / "gone" / "second").string() + "'"), std::string::npos)
      << c.failures[1];
  EXPECT_EQ(read_text(c.dir.path() / "first"), "1");
  EXPECT_EQ(read_text(c.dir.path() / "third"), "3");
}

// Once stopped, outputs still waiting are discarded: nothing of them is on disk.
TEST(OutputCommitter, DiscardsWhatWaitsOnceStoppedFromAnotherThread) {
  Committing c;
  {
    std::unique_lock hold(c.gate);  // no commit can finish meanwhile
    OutputCommitter committer(c.runner, c.dir.path(), c.gate, c.stop, c.failed);
    for (std::size_t index = 0; index < 4; ++index) {
      committer.hand_over(index, written(c.dir.path() / ("out" + std::to_string(index)), "x"));
    }
    c.stop = true;
    hold.unlock();
  }
  // The first output may have been taken before the stop; whatever is there is whole.
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(c.dir.path())) {
    EXPECT_EQ(read_text(entry.path()), "x") << entry.path();
    ++files;
  }
  EXPECT_LE(files, 1u);
  EXPECT_TRUE(c.failures.empty());
}

}  // namespace
