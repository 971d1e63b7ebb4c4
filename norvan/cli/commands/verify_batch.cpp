// Verifying many messages at once: one Verifier (the trust roots gathered once) shared by a
// few job threads that take the messages in turn, each with a thread that puts its verified
// payloads in place.
#include "norvan/cli/commands/verify_batch.hpp"

#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/output_committer.hpp"
#include "norvan/common/deferred_signals.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/mime.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <shared_mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace norvan::cli::commands::verify {
namespace {

namespace mime = signing::mime;
using _shared::OutputCommitter;

// The status of a failure other than a failed verification, as `verify` reports it alone.
constexpr int kFailed = 2;

// Verifies one message file and hands its payload on; throws what verification throws.
using VerifyOne =
    std::function<void(const std::filesystem::path&, const mime::MessageSink&, mime::PayloadHandOff)>;

// The file a message's payload goes to: its file name without a final ".eml", in `directory`.
std::filesystem::path payload_path(const std::filesystem::path& directory, const std::string& message) {
  std::string name = std::filesystem::path(message).filename().string();
  if (name.ends_with(".eml")) name.resize(name.size() - 4);
  if (name.empty() || name == "." || name == "..") {
    throw std::runtime_error("Cannot name the payload of '" + message + "': its file name without .eml is empty");
  }
  return directory / name;
}

// Refuses what cannot work before any message is verified: standard input, a missing output
// directory, two messages whose payloads would land in the same file.
void check_batch(const BatchOptions& options) {
  if (!std::filesystem::is_directory(options.output_dir)) {
    throw std::runtime_error("Cannot write payloads to '" + options.output_dir.string() +
                             "': it does not exist or is not a directory");
  }
  if (options.messages.empty()) throw std::runtime_error("No message given: --output-dir needs message files");
  std::map<std::string, const std::string*> writers;
  for (const std::string& message : options.messages) {
    if (message == "-") throw std::runtime_error("Standard input ('-') cannot be used with --output-dir; give files");
    std::filesystem::path target;
    try {
      target = payload_path(options.output_dir, message);
    } catch (const std::runtime_error&) {
      continue;  // reported for that message alone
    }
    const auto [it, inserted] = writers.emplace(target.string(), &message);
    if (!inserted) {
      throw std::runtime_error("Messages '" + *it->second + "' and '" + message + "' would both write '" +
                               target.string() + "'");
    }
  }
}

bool is_regular_file(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// One message, as `norvan verify -o <payload file> <message>` does it, up to the commit: returns
// the payload written whole, for the caller to put in place.
std::unique_ptr<FileWriter> verify_to_file(const VerifyOne& verify_one, const std::function<Bytes(ByteView)>& verify_bytes,
                                           const std::string& message, const std::filesystem::path& output_dir) {
  auto output = std::make_unique<FileWriter>(payload_path(output_dir, message));
  if (is_regular_file(message)) {
    const mime::PayloadHandOff hand_off = hand_off_for(*output);
    verify_one(message, payload_writer(*output, hand_off), hand_off);
  } else {
    output->write(verify_bytes(read_file(message, "message file")));
  }
  return output;
}

unsigned processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

mime::PayloadHandOff hand_off_for(const FileWriter& output) {
  return output.replaces_target() ? mime::PayloadHandOff::read_again : mime::PayloadHandOff::verified_copy;
}

mime::MessageSink payload_writer(FileWriter& output, mime::PayloadHandOff hand_off) {
  return [&output, checked = hand_off != mime::PayloadHandOff::read_again](ByteView piece) mutable {
    if (!checked && output.writes_in_place()) {
      throw FileError("Cannot write the payload in place: the output became a pipe or a device while the message was verified",
                      {}, std::make_error_code(std::errc::invalid_argument));
    }
    checked = true;
    output.write(piece);
  };
}

int verify_batch(const BatchOptions& options) {
  check_batch(options);
  // Held back in every thread of the batch (they inherit it): a signal reaches the loop below,
  // which ends the process once no payload is half put in place.
  DeferredSignals deferred;

  // The trust roots, gathered once. When they cannot be, each message is verified as it would be
  // alone, so that each reports what it would report alone.
  std::shared_ptr<const mime::Verifier> verifier;
  try {
    verifier = std::make_shared<const mime::Verifier>(options.trusted_certs, options.trusted_dir);
  } catch (const std::exception&) {
  }
  const VerifyOne verify_one = [&](const std::filesystem::path& file, const mime::MessageSink& sink,
                                   mime::PayloadHandOff hand_off) {
    if (verifier) return verifier->verify_file(file, sink, hand_off);
    mime::verify_message_file(file, options.trusted_certs, options.trusted_dir, sink, {}, hand_off);
  };
  const std::function<Bytes(ByteView)> verify_bytes = [&](ByteView message) {
    return verifier ? verifier->verify(message) : mime::verify_message(message, options.trusted_certs, options.trusted_dir);
  };

  std::vector<std::optional<FailureReport>> failures(options.messages.size());
  const auto fail = [&failures](std::size_t index, const std::exception_ptr& failure) {
    failures[index] = failure_report(failure, kFailed);
  };
  std::shared_mutex commits;  // held shared by each commit, whole by the loop below to end
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    OutputCommitter committer(options.output_dir, commits, stop, fail);
    for (std::size_t index; !stop.load() && (index = next.fetch_add(1)) < options.messages.size();) {
      try {
        committer.hand_over(index, verify_to_file(verify_one, verify_bytes, options.messages[index], options.output_dir));
      } catch (const std::exception&) {
        fail(index, std::current_exception());
      }
    }
  };

  const unsigned jobs = static_cast<unsigned>(
      std::min<std::size_t>(options.jobs != 0 ? options.jobs : processors(), options.messages.size()));
  std::atomic<unsigned> running{0};
  const pthread_t waiting_thread = ::pthread_self();
  const auto job = [&] {
    try {
      work();
    } catch (const std::exception&) {
      // No committing thread could be started: the messages left are reported below.
    }
    if (running.fetch_sub(1) == 1) ::pthread_kill(waiting_thread, SIGCHLD);  // wakes the loop below
  };
  std::vector<std::jthread> threads;
  for (unsigned count = 0; count < jobs; ++count) {
    running.fetch_add(1);
    try {
      threads.emplace_back(job);
    } catch (const std::system_error&) {
      running.fetch_sub(1);
      break;  // the threads started take every message
    }
  }
  while (running.load() != 0) {
    if (deferred.wait(std::chrono::seconds(1))) {
      stop.store(true);
      const std::unique_lock no_commit_in_progress(commits);
      deferred.end_as_received();  // ends the process as the signal does
    }
  }
  threads.clear();
  for (std::size_t index = next.load(); index < options.messages.size(); ++index) {
    fail(index, std::make_exception_ptr(std::runtime_error("Not verified: the batch could not start a thread")));
  }

  int status = 0;
  std::cout.flush();
  for (std::size_t index = 0; index < failures.size(); ++index) {
    if (!failures[index]) continue;
    std::cerr << options.messages[index] << ": " << failures[index]->line << '\n';
    status = std::max(status, failures[index]->status);
  }
  return status;
}

}  // namespace norvan::cli::commands::verify
