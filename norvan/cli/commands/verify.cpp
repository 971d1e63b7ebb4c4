// The `verify` sub-command: verify an S/MIME clear-signed message and write its payload.
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"
#include "norvan/cli/commands/progress.hpp"
#include "norvan/cli/commands/verify_batch.hpp"
#include "norvan/common/fd.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/temporary_file.hpp"
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/mime.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace norvan::cli::commands::verify {
namespace {

namespace shared = _shared;
namespace mime = signing::mime;

// The exit status when verification could not be carried out (a message that does not
// verify exits with kNotVerifiedStatus).
constexpr int kFailed = 2;

struct Options {
  std::vector<std::filesystem::path> trusted_certs;
  std::optional<std::filesystem::path> trusted_dir;
  std::optional<std::filesystem::path> output;
  std::string message = "-";            // the one message verified without --output-dir
  std::vector<std::string> messages;  // as given; none: standard input
  std::optional<std::filesystem::path> output_dir;
  unsigned jobs = 0;
  bool quiet = false;
};

// The trusted certificates: absent without --trusted-cert, so that the system's trust store
// (or only --trusted-dir) applies.
std::optional<std::vector<Bytes>> read_trusted_certs(const Options& options) {
  if (options.trusted_certs.empty()) return std::nullopt;
  std::vector<Bytes> certs;
  for (const auto& path : options.trusted_certs) {
    certs.push_back(read_file(path, "trusted certificate"));
    signing::brisvale::check_trusted_certificate(certs.back(), "Trusted certificate file '" + path.string() + "'");
  }
  return certs;
}

// A misspelt directory would silently trust nothing from it; say so instead.
void check_trusted_dir(const Options& options) {
  if (options.trusted_dir && !std::filesystem::is_directory(*options.trusted_dir)) {
    throw FileError("Cannot read trusted certificate directory '" + options.trusted_dir->string() +
                        "': it does not exist or is not a directory",
                    *options.trusted_dir, std::make_error_code(std::errc::not_a_directory));
  }
}

// A message read from a stream (standard input, a pipe) is verified in memory up to this size
// and spooled to an unnamed temporary file beyond it.
constexpr std::size_t kInMemoryLimit = 16 << 20;

// Reads from `fd` until `buffer` holds `limit` bytes or the input ends; returns whether it ended.
bool read_up_to(int fd, Bytes& buffer, std::size_t limit, const std::string& source, shared::ProgressLine& progress) {
  std::uint8_t block[65536];
  while (buffer.size() < limit) {
    const ssize_t count = ::read(fd, block, sizeof block);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      throw FileError("Cannot read the message from " + source + ": " + std::strerror(errno), source,
                      std::error_code(errno, std::generic_category()));
    }
    if (count == 0) return true;
    buffer.insert(buffer.end(), block, block + count);
    progress.advance(static_cast<std::size_t>(count));
  }
  return false;
}

// Verifies a message that arrives on a stream: in memory when small, else from a spooled copy.
void verify_stream(int fd, const std::string& source, const Options& options,
                   const std::optional<std::vector<Bytes>>& certs, FileWriter& output) {
  Bytes head;
  std::optional<TemporaryFile> spool;
  {
    shared::ProgressLine progress("Reading the message", std::nullopt, !options.quiet);
    if (read_up_to(fd, head, kInMemoryLimit, source, progress)) {
      output.write(mime::verify_message(head, certs, options.trusted_dir));
      return;
    }
    spool.emplace("the message from " + source);
    for (bool ended = false;;) {
      spool->write(head);
      head.clear();
      if (ended) break;
      ended = read_up_to(fd, head, kInMemoryLimit, source, progress);
    }
  }
  const mime::PayloadHandOff hand_off = hand_off_for(output);
  mime::verify_message_file(spool->path(), certs, options.trusted_dir, payload_writer(output, hand_off), {}, hand_off);
}

// A message file that is not a regular file (a FIFO, a device) is read as a stream.
void verify_special_file(const Options& options, const std::optional<std::vector<Bytes>>& certs, FileWriter& output) {
  const FileDescriptor fd(::open(options.message.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw_file_error("Cannot read message file", options.message, errno);
  verify_stream(fd.get(), "'" + options.message + "'", options, certs, output);
}

struct stat file_status(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw_file_error("Cannot read message file", path, errno);
  if (S_ISDIR(info.st_mode)) throw_file_error("Cannot read message file", path, EISDIR);
  return info;
}

void run(const Options& options) {
  check_trusted_dir(options);
  const auto certs = read_trusted_certs(options);
  // The payload reaches the output only once the message has verified; a new output file
  // appears only when it is complete.
  FileWriter output(options.output);
  if (options.message == "-") {
    verify_stream(STDIN_FILENO, "standard input", options, certs, output);
  } else if (S_ISREG(file_status(options.message).st_mode)) {
    shared::ProgressLine progress("Verifying", std::filesystem::file_size(options.message), !options.quiet);
    const mime::PayloadHandOff hand_off = hand_off_for(output);
    mime::verify_message_file(
        options.message, certs, options.trusted_dir, payload_writer(output, hand_off),
        [&progress](std::size_t bytes) { progress.advance(bytes); }, hand_off);
  } else {
    verify_special_file(options, certs, output);
  }
  output.commit();
}

BatchOptions batch_options(const Options& options) {
  check_trusted_dir(options);
  return {read_trusted_certs(options), options.trusted_dir, *options.output_dir, options.messages, options.jobs};
}

// The batch's options. When the trust roots cannot be read, every message would fail alone
// with that error before it is read: each gets that line, and the batch fails.
BatchOptions batch_options_or_report(const Options& options) {
  try {
    return batch_options(options);
  } catch (...) {
    if (options.messages.empty()) throw;
    const FailureReport report = failure_report(std::current_exception(), kFailed);
    std::cout.flush();
    for (const std::string& message : options.messages) std::cerr << message << ": " << report.line << '\n';
    throw BatchFailed(report.status);
  }
}

Action verify(CLI::App& command) {
  auto options = std::make_shared<Options>();
  command.add_option("-t,--trusted-cert", options->trusted_certs,
                     "Trusted certificate file (PEM or DER; of a PEM file only the first "
                     "certificate counts); repeat for several")
      ->type_name("FILE")
      ->allow_extra_args(false);  // one file per --trusted-cert; the message is positional
  command.add_option("-d,--trusted-dir", options->trusted_dir,
                     "Directory whose *.pem files hold further trusted certificates")
      ->type_name("DIR");
  CLI::Option* output = shared::output_option(command, options->output, "payload.txt");
  CLI::Option* output_dir =
      command.add_option("--output-dir", options->output_dir,
                         "Verify every MESSAGE given and write each payload to DIR, named as its message "
                         "without a final .eml")
          ->type_name("DIR")
          ->excludes(output);
  command.add_option("-j,--jobs", options->jobs, "With --output-dir: messages verified at once (default: one per processor)")
      ->type_name("N")
      ->check(CLI::Range(1u, 4096u))
      ->needs(output_dir);
  command.add_option("message", options->messages,
                     "File holding the signed message; '-' or none: standard input. With --output-dir: "
                     "any number of message files")
      ->type_name("MESSAGE");
  command.add_flag("-q,--quiet", options->quiet,
                   "Show no progress line (one is shown on a terminal for messages over 64 MiB)");
  command.footer(
      "Without --trusted-cert and --trusted-dir the system's trust store applies. On success the "
      "payload is written and the exit status is 0. A message that does not verify prints "
      "'<ErrorType>: <reason>' on standard error and exits with 1; any other failure (an "
      "unreadable file, malformed signature data) exits with 2. Nothing is written unless the "
      "message verifies. With --output-dir, each message has the outcome it has alone; every "
      "failure is one line '<MESSAGE>: <reason>', and the exit status is 0 when all verified, 2 "
      "when any failed for another reason than verification, 1 otherwise.");
  return [options] {
    if (options->output_dir) {
      const int status = verify_batch(batch_options_or_report(*options));
      if (status != 0) throw BatchFailed(status);
      return;
    }
    if (options->messages.size() > 1) {
      throw Error(ErrorCode::invalid_argument, "Several messages need --output-dir DIR");
    }
    if (!options->messages.empty()) options->message = options->messages.front();
    run(*options);
  };
}

}  // namespace

NORVAN_CLI_COMMAND(verify, "Verify an S/MIME signed message and write its payload", /*summary=*/"",
                   /*failure_status=*/kFailed);

}  // namespace norvan::cli::commands::verify
