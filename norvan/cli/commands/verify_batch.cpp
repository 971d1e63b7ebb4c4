// Verifying many messages at once: one Verifier (the trust roots gathered once) shared by a
// few worker threads that take the messages in turn.
#include "norvan/cli/commands/verify_batch.hpp"

#include "norvan/cli/cli.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/mime.hpp"

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

namespace norvan::cli::commands::verify {
namespace {

namespace mime = signing::mime;

// The status of a failure other than a failed verification, as `verify` reports it alone.
constexpr int kFailed = 2;

// Verifies one message file and hands its payload on; throws what verification throws.
using VerifyOne = std::function<void(const std::filesystem::path&, const mime::MessageSink&)>;

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

// One message, as `norvan verify -o <payload file> <message>` does it.
void verify_to_file(const VerifyOne& verify_one, const std::function<Bytes(ByteView)>& verify_bytes,
                    const std::string& message, const std::filesystem::path& output_dir) {
  FileWriter output(payload_path(output_dir, message));
  if (is_regular_file(message)) {
    verify_one(message, [&output](ByteView piece) { output.write(piece); });
  } else {
    output.write(verify_bytes(read_file(message, "message file")));
  }
  output.commit();
}

unsigned processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

int verify_batch(const BatchOptions& options) {
  check_batch(options);

  // The trust roots, gathered once. When they cannot be, each message is verified as it would be
  // alone, so that each reports what it would report alone.
  std::shared_ptr<const mime::Verifier> verifier;
  try {
    verifier = std::make_shared<const mime::Verifier>(options.trusted_certs, options.trusted_dir);
  } catch (const std::exception&) {
  }
  const VerifyOne verify_one = [&](const std::filesystem::path& file, const mime::MessageSink& sink) {
    if (verifier) return verifier->verify_file(file, sink);
    mime::verify_message_file(file, options.trusted_certs, options.trusted_dir, sink);
  };
  const std::function<Bytes(ByteView)> verify_bytes = [&](ByteView message) {
    return verifier ? verifier->verify(message) : mime::verify_message(message, options.trusted_certs, options.trusted_dir);
  };

  std::vector<std::optional<FailureReport>> failures(options.messages.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t index; (index = next.fetch_add(1)) < options.messages.size();) {
      try {
        verify_to_file(verify_one, verify_bytes, options.messages[index], options.output_dir);
      } catch (const std::exception&) {
        failures[index] = failure_report(std::current_exception(), kFailed);
      }
    }
  };
  const unsigned jobs = options.jobs != 0 ? options.jobs : processors();
  {
    std::vector<std::jthread> workers;
    for (std::size_t count = std::min<std::size_t>(jobs, options.messages.size()); count > 1; --count) {
      workers.emplace_back(work);
    }
    work();  // this thread is one of the workers
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
