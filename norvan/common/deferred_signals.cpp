#include "norvan/common/deferred_signals.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <pthread.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace norvan {
namespace {

// The signals whose default action ends the process and which a program may catch. The
// faults (SEGV, BUS, FPE, ILL, TRAP, SYS, ABRT) are left out: raised by the kernel they end the
// process whatever the mask says, and a clean-up after one cannot be trusted.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,    SIGQUIT,  SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,
                                  SIGUSR2, SIGSTKFLT, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,
                                  SIGPWR};

// True when the signal keeps its default action: not ignored, no handler of someone else's.
bool has_default_action(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
         current.sa_handler == SIG_DFL;
}

sigset_t signals_to_defer() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kEndingSignals) {
    if (has_default_action(signal)) sigaddset(&set, signal);
  }
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
    if (has_default_action(signal)) sigaddset(&set, signal);
  }
  return set;
}

// True when another process sent the signal with kill() or sigqueue().
bool sent_by_another_process(const siginfo_t& info) {
  return (info.si_code == SI_USER || info.si_code == SI_QUEUE) && info.si_pid != ::getpid();
}

}  // namespace

DeferredSignals::DeferredSignals() : deferred_(signals_to_defer()) {
  // SIGCHLD is held back too, so that wait_for_child learns of the child's end without a race;
  // its default action is to be ignored, so holding it back changes nothing else.
  sigset_t blocked = deferred_;
  sigaddset(&blocked, SIGCHLD);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &saved_mask_);
}

DeferredSignals::~DeferredSignals() { ::pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr); }

void DeferredSignals::take(const siginfo_t& info) {
  if (!first_) first_ = info.si_signo;
}

std::optional<int> DeferredSignals::received() {
  const timespec now{0, 0};
  siginfo_t info{};
  while (::sigtimedwait(&deferred_, &info, &now) > 0) take(info);
  return first_;
}

std::optional<int> DeferredSignals::wait(std::chrono::milliseconds timeout) {
  if (received()) return first_;
  sigset_t awaited = deferred_;
  sigaddset(&awaited, SIGCHLD);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const timespec limit{static_cast<time_t>(seconds.count()),
                       static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count())};
  siginfo_t info{};
  const int signal = ::sigtimedwait(&awaited, &info, &limit);
  if (signal > 0 && signal != SIGCHLD) take(info);
  return first_;
}

int DeferredSignals::wait_for_child(pid_t pid) {
  sigset_t awaited = deferred_;
  sigaddset(&awaited, SIGCHLD);
  // A process that ignores SIGCHLD is never told of the child's end: look again every second.
  const timespec a_second{1, 0};
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return status;
    if (ended < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "Cannot wait for a child process");
    }
    siginfo_t info{};
    const int signal = ::sigtimedwait(&awaited, &info, &a_second);
    if (signal <= 0 || signal == SIGCHLD) continue;
    take(info);
    if (sent_by_another_process(info)) ::kill(pid, signal);
  }
}

void DeferredSignals::end_as_received() {
  const std::optional<int> signal = received();
  if (!signal) return;
  std::cout.flush();
  std::fflush(nullptr);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  ::sigaction(*signal, &default_action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, *signal);
  ::raise(*signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);  // the process ends here
}

}  // namespace norvan
