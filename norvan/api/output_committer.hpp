#pragma once
// Putting finished outputs in place as a job of their own, so that the work on the next output
// (verifying the next message of a batch) overlaps the disk's flush of the last one.

#include "norvan/common/file_writer.hpp"
#include "norvan/common/job_runner.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>

namespace norvan::api {

/// Commits, in the order handed over, the outputs that one thread writes into `directory`, as a
/// job of its own on `runner`, kGroup at a time (the rest when the committer ends): one wake-up of that
/// thread and one flush of the directory per group. Each output's contents reach the disk
/// before its name does (FileWriter::commit); the directory is flushed after each group, so
/// every name is on disk when the destructor returns. Each commit holds `gate` shared, so that
/// whoever holds it whole knows that no output is half put in place. At most kMaxWaiting
/// outputs wait (each holds two descriptors); hand_over() blocks while so many do. Once `stop`
/// is set, outputs not committed yet are discarded: nothing of them is left on disk.
class OutputCommitter {
 public:
  /// Called on the committing thread with the index of an output that could not be put in place.
  using Failed = std::function<void(std::size_t index, std::exception_ptr failure)>;

  static constexpr std::size_t kGroup = 4;
  static constexpr std::size_t kMaxWaiting = 2 * kGroup;

  /// Starts the committing job. Throws std::system_error when it cannot be started.
  OutputCommitter(JobRunner& runner, std::filesystem::path directory, std::shared_mutex& gate, const std::atomic<bool>& stop,
                  Failed failed);
  OutputCommitter(const OutputCommitter&) = delete;
  OutputCommitter& operator=(const OutputCommitter&) = delete;
  /// Commits (or, once stopped, discards) every output handed over, then waits for the job.
  ~OutputCommitter();

  /// Hands over the output of message `index`: written whole, not committed yet.
  void hand_over(std::size_t index, std::unique_ptr<FileWriter> output);

 private:
  struct Output {
    std::size_t index;
    std::unique_ptr<FileWriter> writer;
  };

  void run() noexcept;
  void commit(Output& output) noexcept;

  std::filesystem::path directory_;
  std::shared_mutex& gate_;
  const std::atomic<bool>& stop_;
  Failed failed_;
  std::mutex mutex_;
  std::condition_variable changed_;  // an output was handed over or taken, or finishing_ was set
  std::deque<Output> waiting_;
  bool finishing_ = false;
  std::optional<JobRunner::Job> job_;  // last: started once everything it uses exists
};

}  // namespace norvan::api
