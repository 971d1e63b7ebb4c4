// The `verify` sub-command: verify an S/MIME clear-signed message and write its payload.
#include "norvan/api/ostrand.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"
#include "norvan/cli/commands/verify_batch.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/mime.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace norvan::cli::commands::verify {
namespace {

namespace shared = _shared;
namespace mime = signing::mime;

// Exit statuses: the message verified; it did not; verification could not be carried out.
constexpr int kVerified = 0;
constexpr int kNotVerified = 1;
constexpr int kFailed = 2;

struct Options {
  std::vector<std::filesystem::path> trusted_certs;
  std::optional<std::filesystem::path> trusted_dir;
  std::optional<std::filesystem::path> output;
  std::vector<std::string> messages;  // none: standard input
  std::optional<std::filesystem::path> output_dir;
  unsigned jobs = 0;
};

// Texts from lower layers may span lines; the report is always one line.
std::string one_line(std::string text) {
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return text;
}

// "<TypeName>: <message>", followed by " (<cause>)" when the error has a cause. The form is
// fixed, even for an empty message, so that scripts can split it.
std::string describe(const mime::VerificationError& error) {
  std::string text = std::string(error.type_name()) + ": " + error.what();
  if (error.cause()) text += " (" + error.cause_text() + ")";
  return one_line(text);
}

}  // namespace

Failure current_failure() {
  try {
    throw;
  } catch (const mime::VerificationError& error) {
    return {describe(error), kNotVerified};
  } catch (const std::exception& error) {
    return {one_line(error.what()), kFailed};
  }
}

namespace {

int report(const std::string& line, int status) {
  std::cout.flush();
  std::cerr << line << '\n';
  return status;
}

// The trusted certificates: absent without --trusted-cert, so that the system's trust store
// (or only --trusted-dir) applies.
std::optional<std::vector<Bytes>> read_trusted_certs(const Options& options) {
  if (options.trusted_certs.empty()) return std::nullopt;
  std::vector<Bytes> certs;
  for (const auto& path : options.trusted_certs) certs.push_back(read_file(path, "trusted certificate"));
  return certs;
}

// A misspelt directory would silently trust nothing from it; say so instead.
void check_trusted_dir(const Options& options) {
  if (options.trusted_dir && !std::filesystem::is_directory(*options.trusted_dir)) {
    throw std::runtime_error("Cannot read trusted certificate directory '" + options.trusted_dir->string() +
                             "': it does not exist or is not a directory");
  }
}

// A message read from a stream (standard input, a pipe) is verified in memory up to this size
// and spooled to a temporary file beyond it.
constexpr std::size_t kInMemoryLimit = 16 << 20;

// Writes all of `bytes` to `fd`. Throws FileError naming `path`.
void write_all(int fd, ByteView bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw_file_error("Cannot write temporary file", path, errno);
    bytes = bytes.subspan(static_cast<std::size_t>(count));
  }
}

// Reads from `fd` until `buffer` holds `limit` bytes or the input ends; returns whether it ended.
bool read_up_to(int fd, Bytes& buffer, std::size_t limit, const std::string& source) {
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
  }
  return false;
}

// A file in the temporary directory, removed when this object goes.
class SpoolFile {
 public:
  SpoolFile() {
    std::string name = (std::filesystem::temp_directory_path() / "norvan-message-XXXXXX").string();
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) throw_file_error("Cannot create a temporary file", name, errno);
    path_ = name;
  }
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;
  ~SpoolFile() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  int fd() const noexcept { return fd_; }
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

// Verifies a message that arrives on a stream: in memory when small, else from a spooled copy.
void verify_stream(int fd, const std::string& source, const Options& options,
                   const std::optional<std::vector<Bytes>>& certs, api::ostrand::OutputStream& output) {
  Bytes head;
  if (read_up_to(fd, head, kInMemoryLimit, source)) {
    output.write(mime::verify_message(head, certs, options.trusted_dir));
    return;
  }
  SpoolFile spool;
  for (bool ended = false;;) {
    write_all(spool.fd(), head, spool.path());
    head.clear();
    if (ended) break;
    ended = read_up_to(fd, head, kInMemoryLimit, source);
  }
  mime::verify_message_file(spool.path(), certs, options.trusted_dir, [&output](ByteView piece) { output.write(piece); });
}

bool is_regular_file(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void run(const Options& options) {
  check_trusted_dir(options);
  const auto certs = read_trusted_certs(options);
  // The payload reaches the output only once the message has verified; a new output file
  // appears only when it is complete.
  api::ostrand::OutputStream output(options.output);
  const std::string message = options.messages.empty() ? "-" : options.messages.front();
  if (message == "-") {
    verify_stream(STDIN_FILENO, "standard input", options, certs, output);
  } else if (is_regular_file(message)) {
    mime::verify_message_file(message, certs, options.trusted_dir, [&output](ByteView piece) { output.write(piece); });
  } else {
    const Bytes message_bytes = read_file(message, "message file");
    output.write(mime::verify_message(message_bytes, certs, options.trusted_dir));
  }
  output.commit();
}

BatchOptions batch_options(const Options& options) {
  check_trusted_dir(options);
  return {read_trusted_certs(options), options.trusted_dir, *options.output_dir, options.messages, options.jobs};
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
  command.footer(
      "Without --trusted-cert and --trusted-dir the system's trust store applies. On success the "
      "payload is written and the exit status is 0. A message that does not verify prints "
      "'<ErrorType>: <reason>' on standard error and exits with 1; any other failure (an "
      "unreadable file, malformed signature data) exits with 2. Nothing is written unless the "
      "message verifies. With --output-dir, each message has the outcome it has alone; every "
      "failure is one line '<MESSAGE>: <reason>', and the exit status is 0 when all verified, 2 "
      "when any failed for another reason than verification, 1 otherwise.");
  return [options]() -> int {
    try {
      if (options->output_dir) return verify_batch(batch_options(*options));
      if (options->messages.size() > 1) throw std::runtime_error("Several messages need --output-dir DIR");
      run(*options);
      return kVerified;
    } catch (const std::exception&) {
      const Failure failure = current_failure();
      return report(failure.line, failure.status);
    }
  };
}

}  // namespace

NORVAN_CLI_COMMAND(verify, "Verify an S/MIME signed message and write its payload");

}  // namespace norvan::cli::commands::verify
