// Verifying many messages at once: one Verifier (the trust roots gathered once) shared by a
// few jobs that take the messages in turn, each with a committer that puts its verified payloads
// in place; all of them run on one JobRunner.
#include "norvan/api/verify.hpp"

#include "norvan/api/output_committer.hpp"
#include "norvan/common/deferred_signals.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/job_runner.hpp"
#include "norvan/common/pending_output.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <list>
#include <map>
#include <memory>
#include <shared_mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace norvan::api {
namespace {

namespace fs = std::filesystem;
namespace mime = signing::mime;

// The file a message's payload goes to: its file name without a final ".eml", in `directory`.
fs::path payload_path(const fs::path& directory, const fs::path& message) {
  std::string name = message.filename().string();
  if (name.ends_with(".eml")) name.resize(name.size() - 4);
  if (name.empty() || name == "." || name == "..") {
    throw std::runtime_error("Cannot name the payload of '" + message.string() + "': its file name without .eml is empty");
  }
  return directory / name;
}

// Refuses what cannot work before any message is verified: standard input, a missing output
// directory, two messages whose payloads would land in the same file.
void check_batch(const std::vector<fs::path>& messages, const std::optional<fs::path>& output_dir) {
  if (!output_dir) return;
  if (!fs::is_directory(*output_dir)) {
    throw std::runtime_error("Cannot write payloads to '" + output_dir->string() +
                             "': it does not exist or is not a directory");
  }
  if (messages.empty()) throw std::runtime_error("No message given: --output-dir needs message files");
  std::map<std::string, const fs::path*> writers;
  for (const fs::path& message : messages) {
    if (message == "-") throw std::runtime_error("Standard input ('-') cannot be used with --output-dir; give files");
    fs::path target;
    try {
      target = payload_path(*output_dir, message);
    } catch (const std::runtime_error&) {
      continue;  // reported for that message alone
    }
    const auto [it, inserted] = writers.emplace(target.string(), &message);
    if (!inserted) {
      throw std::runtime_error("Messages '" + it->second->string() + "' and '" + message.string() +
                               "' would both write '" + target.string() + "'");
    }
  }
}

unsigned processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

std::vector<MessageOutcome> verify_batch(const std::vector<fs::path>& message_files, const TrustedCerts& trust,
                                         const std::optional<fs::path>& output_dir, unsigned jobs,
                                         const mime::VerifyOptions& options) {
  std::vector<MessageOutcome> outcomes(message_files.size());
  std::optional<std::vector<Bytes>> certs;
  try {
    certs = trust.gather();
  } catch (...) {
    // Every message would fail alone with this error before it is read.
    if (message_files.empty()) throw;
    for (MessageOutcome& outcome : outcomes) outcome.failure = std::current_exception();
    return outcomes;
  }
  check_batch(message_files, output_dir);
  // Held back in every thread of the batch (they inherit it): a signal reaches the loop below,
  // which ends the process once no payload is half put in place. Only a batch that writes files
  // needs it.
  std::optional<DeferredSignals> deferred;
  if (output_dir) deferred.emplace();

  // The trust roots, gathered once. When they cannot be, each message gathers them as it would
  // alone, so that each reports what it would report alone.
  std::optional<mime::Verifier> verifier;
  try {
    verifier.emplace(certs, trust.trusted_dir, options);
  } catch (const std::exception&) {
  }
  // One message, as it is verified alone; the payload streams into `sink`.
  const auto verify_one = [&](const fs::path& message, const mime::MessageSink& sink) {
    std::error_code not_regular;
    if (!fs::is_regular_file(message, not_regular)) {
      const Bytes text = read_file(message, "message file");
      return sink(verifier ? verifier->verify(text) : mime::verify_message(text, certs, trust.trusted_dir, options));
    }
    if (verifier) return verifier->verify_file(message, sink);
    mime::verify_message_file(message, certs, trust.trusted_dir, sink, {}, options);
  };
  const auto fail = [&outcomes](std::size_t index, const std::exception_ptr& failure) {
    outcomes[index].failure = failure;
  };
  std::shared_mutex commits;  // held shared by each commit, whole by the loop below to end
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> next{0};
  const auto to_file = [&](OutputCommitter& committer, std::size_t index) {
    auto output = std::make_unique<FileWriter>(payload_path(*output_dir, message_files[index]));
    PendingOutput payload(*output, "the payload being verified");
    verify_one(message_files[index], [&payload](ByteView piece) { payload.write(piece); });
    payload.release();
    committer.hand_over(index, std::move(output));
  };
  const auto to_memory = [&](std::size_t index) {
    Bytes payload;
    verify_one(message_files[index], [&payload](ByteView piece) { payload.insert(payload.end(), piece.begin(), piece.end()); });
    outcomes[index].payload = std::move(payload);
  };
  JobRunner runner;
  const auto work = [&] {
    std::optional<OutputCommitter> committer;
    if (output_dir) committer.emplace(runner, *output_dir, commits, stop, fail);
    for (std::size_t index; !stop.load() && (index = next.fetch_add(1)) < message_files.size();) {
      try {
        if (committer) {
          to_file(*committer, index);
        } else {
          to_memory(index);
        }
      } catch (const std::exception&) {
        fail(index, std::current_exception());
      }
    }
  };

  const unsigned threads_wanted =
      static_cast<unsigned>(std::min<std::size_t>(jobs != 0 ? jobs : processors(), message_files.size()));
  std::atomic<unsigned> running{0};
  const pthread_t waiting_thread = ::pthread_self();
  const auto job = [&] {
    try {
      work();
    } catch (const std::exception&) {
      // No committer could be started: the messages left are reported below.
    }
    // The calling thread waits for signals (it alone may end the process, once no commit is in
    // progress); the last job wakes it with the held-back SIGCHLD, so that a batch does not sit
    // out the rest of the wait's one-second timeout after its last message.
    if (running.fetch_sub(1) == 1 && deferred) ::pthread_kill(waiting_thread, SIGCHLD);
  };
  std::list<JobRunner::Job> started;
  for (unsigned count = 0; count < threads_wanted; ++count) {
    running.fetch_add(1);
    try {
      started.emplace_back(runner, job);
    } catch (const std::system_error&) {
      running.fetch_sub(1);
      break;  // the threads started take every message
    }
  }
  if (deferred) {
    while (running.load() != 0) {
      if (deferred->wait(std::chrono::seconds(1))) {
        stop.store(true);
        const std::unique_lock no_commit_in_progress(commits);
        deferred->end_as_received();  // ends the process as the signal does
      }
    }
  }
  started.clear();  // waits for every job
  for (std::size_t index = next.load(); index < message_files.size(); ++index) {
    fail(index, std::make_exception_ptr(std::runtime_error("Not verified: the batch could not start a thread")));
  }
  return outcomes;
}

}  // namespace norvan::api
