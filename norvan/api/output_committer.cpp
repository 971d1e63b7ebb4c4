#include "norvan/api/output_committer.hpp"

#include <utility>

namespace norvan::api {

OutputCommitter::OutputCommitter(JobRunner& runner, std::filesystem::path directory, std::shared_mutex& gate,
                                 const std::atomic<bool>& stop, Failed failed)
    : directory_(std::move(directory)), gate_(gate), stop_(stop), failed_(std::move(failed)) {
  job_.emplace(runner, [this] { run(); });
}

OutputCommitter::~OutputCommitter() {
  {
    const std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  changed_.notify_all();
  (void)job_->wait();  // run() lets nothing escape
}

void OutputCommitter::hand_over(std::size_t index, std::unique_ptr<FileWriter> output) {
  bool group_ready = false;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.size() < kMaxWaiting; });
    waiting_.push_back({index, std::move(output)});
    group_ready = waiting_.size() >= kGroup;
  }
  if (group_ready) changed_.notify_all();
}

void OutputCommitter::run() noexcept {
  for (;;) {
    std::deque<Output> group;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return waiting_.size() >= kGroup || finishing_; });
      if (waiting_.empty()) return;  // finishing, and everything is committed and flushed
      group.swap(waiting_);
    }
    changed_.notify_all();  // room for more
    for (Output& output : group) commit(output);
    flush_directory(directory_);
  }
}

void OutputCommitter::commit(Output& output) noexcept {
  if (stop_.load()) return;  // the writer's destructor discards the output
  try {
    const std::shared_lock whole_commits_only(gate_);
    output.writer->commit(DirectoryFlush::by_caller);
  } catch (...) {
    failed_(output.index, std::current_exception());
  }
}

}  // namespace norvan::api
