#pragma once
// Holding back the signals that would end the process, so that clean-up work always finishes,
// and ending the process afterwards as the first of them would have ended it.

#include <chrono>
#include <csignal>
#include <optional>
#include <sys/types.h>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// While it exists, every signal whose default action ends the process, that can be caught and
/// that this process does not ignore or handle itself (HUP, INT, QUIT, PIPE, ALRM, TERM, USR1,
/// USR2, the real-time signals, ...) is blocked in the calling thread: it stays pending instead
/// of ending the process. Create it in a single-threaded program (the command line), before any
/// other thread starts; threads started meanwhile inherit the block. The destructor restores
/// the signal mask; a signal still pending then takes its default action.
class DeferredSignals {
 public:
  DeferredSignals();
  DeferredSignals(const DeferredSignals&) = delete;
  DeferredSignals& operator=(const DeferredSignals&) = delete;
  ~DeferredSignals();

  /// Takes the held-back signals that have arrived; returns the first one received since this
  /// object was made, if any.
  std::optional<int> received();

  /// Waits up to `timeout` for a held-back signal and returns the first one received since
  /// this object was made, if any. Returns early, with none, when this thread is sent SIGCHLD
  /// (held back too, see the constructor): another thread's way of waking it up.
  std::optional<int> wait(std::chrono::milliseconds timeout);

  /// Waits until the child `pid` ends and returns its wait status (as waitpid gives it). Each
  /// held-back signal that another process sends meanwhile is passed on to the child, so that
  /// "kill PID" stops the child's work too; one that the kernel raised (a terminal's Ctrl-C,
  /// which reaches the child on its own, or SIGPIPE of this process's own write) is not. Every
  /// one is kept for received(). Throws std::system_error when waiting fails.
  int wait_for_child(pid_t pid);

  /// When a held-back signal arrived, ends the process as that signal does: restores its
  /// default action and lets it through (standard output is flushed first). Returns only when
  /// none arrived.
  void end_as_received();

 private:
  void take(const siginfo_t& info);
  sigset_t deferred_{};
  sigset_t saved_mask_{};
  std::optional<int> first_;
};

}  // namespace norvan

NORVAN_PUBLIC_END
