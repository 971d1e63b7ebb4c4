// The `sign` sub-command: sign a payload into an S/MIME clear-signed message.
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"
#include "norvan/cli/commands/progress.hpp"
#include "norvan/common/error.hpp"
#include "norvan/common/fd.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/certificates.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/mime.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <span>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace norvan::cli::commands::sign {
namespace {

namespace shared = _shared;
namespace mime = signing::mime;
namespace merrowin = signing::merrowin;
namespace certificates = signing::certificates;

struct Options {
  std::filesystem::path certificate;
  std::filesystem::path private_key_file;
  shared::PasswordInput password;
  std::optional<std::filesystem::path> output;
  std::string payload = "-";
  bool quiet = false;
};

bool payload_from_stdin(const Options& options) { return options.payload == "-"; }

// A passphrase read from standard input (--password off a terminal, --password-fd 0) cannot
// share it with the payload.
void refuse_shared_stdin(const Options& options) {
  if (payload_from_stdin(options) && options.password.reads_standard_input()) {
    throw std::runtime_error(
        "Both the passphrase and the payload would be read from standard input: give the "
        "passphrase with --password-file FILE or the payload as a file");
  }
}

// Payload bytes are read and signed in pieces of this size, so memory use does not grow with
// the payload. Small enough to stay in the cache and to cost few page faults (a fresh 1 MiB
// buffer costs about as much in faults as signing 1 MiB), large enough that reads are few.
constexpr std::size_t kReadSize = 128 * 1024;

// The payload's source: the named file or standard input, read in pieces.
class PayloadInput {
 public:
  explicit PayloadInput(const Options& options) {
    if (payload_from_stdin(options)) {
      action_ = "Cannot read the payload from standard input";
      fd_ = STDIN_FILENO;
      return;
    }
    path_ = options.payload;
    action_ = "Cannot read payload file";
    owned_.reset(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!owned_) throw_file_error(action_, path_, errno);
    fd_ = owned_.get();
    struct stat info {};
    if (::fstat(fd_, &info) != 0) throw_file_error(action_, path_, errno);
    if (S_ISDIR(info.st_mode)) throw_file_error(action_, path_, EISDIR);
  }

  // The payload's size when it is known in advance (a regular file, also on standard input).
  std::optional<std::uint64_t> size() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
  }

  // Fills the front of `buffer`; returns how many bytes, 0 at the end. Throws FileError.
  std::size_t read(std::span<std::uint8_t> buffer) {
    for (;;) {
      const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
      if (count >= 0) return static_cast<std::size_t>(count);
      if (errno != EINTR) {
        if (owned_) throw_file_error(action_, path_, errno);
        throw FileError(action_ + ": " + std::strerror(errno), "-", std::error_code(errno, std::generic_category()));
      }
    }
  }

 private:
  std::filesystem::path path_;
  std::string action_;
  int fd_ = -1;
  FileDescriptor owned_;  // the payload file; standard input is not ours to close
};

// The check that the key's signatures verify costs about as much as signing itself, so it runs
// on a thread of its own while the payload is read and signed. Nothing leaves the program before
// it passed: output written in place waits for it, a replaced file is put in place only after it.
class KeyCheck {
 public:
  KeyCheck(const merrowin::PrivateKey& key, const std::string& source) {
    try {
      result_ = std::async(std::launch::async, [&key, source] { merrowin::check_signatures_verify(key, source); });
    } catch (const std::system_error&) {  // no thread to be had: check here and now
      merrowin::check_signatures_verify(key, source);
    }
  }
  KeyCheck(const KeyCheck&) = delete;
  KeyCheck& operator=(const KeyCheck&) = delete;
  ~KeyCheck() {
    if (result_.valid()) result_.wait();
  }

  // Waits for the check; throws its error when the key failed it.
  void passed() {
    if (result_.valid()) result_.get();
  }

 private:
  std::future<void> result_;
};

// The signer over `certificate` and `key`. When that fails and the certificate file is the
// cause, the error names the file instead of the library's view of it.
mime::PayloadSigner make_signer(const Options& options, const Bytes& certificate, const merrowin::PrivateKey& key,
                                FileWriter& output) {
  try {
    return mime::PayloadSigner(certificate, key, [&output](ByteView piece) { output.write(piece); });
  } catch (const Error&) {
    certificates::read_certificate_pem(certificate, "certificate file '" + options.certificate.string() + "'");
    throw;
  }
}

void sign_payload(const Options& options, const merrowin::PrivateKey& key, KeyCheck& key_check) {
  const Bytes certificate = read_file(options.certificate, "certificate file");
  PayloadInput payload(options);

  // The message is written as the payload is read: a new output file only appears, complete,
  // when everything succeeded; standard output receives it as it is made.
  FileWriter output(options.output);
  if (output.writes_in_place()) key_check.passed();
  mime::PayloadSigner signer = make_signer(options, certificate, key, output);
  // A payload smaller than one piece gets a buffer of its own size.
  const std::optional<std::uint64_t> known_size = payload.size();
  Bytes buffer(known_size ? static_cast<std::size_t>(std::clamp<std::uint64_t>(*known_size + 1, 4096, kReadSize))
                          : kReadSize);
  {
    shared::ProgressLine progress("Signing", payload.size(), !options.quiet);
    while (const std::size_t count = payload.read(buffer)) {
      signer.update(ByteView(buffer).first(count));
      progress.advance(count);
    }
  }
  signer.finish();
  key_check.passed();
  output.commit();
}

void run(const Options& options) {
  refuse_shared_stdin(options);
  const shared::Passphrase password = options.password.resolve();
  // The key and the certificate first: a wrong passphrase or file fails before the payload
  // is read.
  const merrowin::PrivateKey key = merrowin::read_private_key_from_pem_file(options.private_key_file, password.get());
  KeyCheck key_check(key, "'" + options.private_key_file.string() + "'");
  try {
    sign_payload(options, key, key_check);
  } catch (...) {
    key_check.passed();  // a key that fails its check is the first thing to report
    throw;
  }
}

Action sign(CLI::App& command) {
  auto options = std::make_shared<Options>();
  command.add_option("-c,--certificate", options->certificate, "PEM file holding the signer's X.509 certificate")
      ->type_name("FILE")
      ->required();
  shared::private_key_file_option(command, options->private_key_file);
  shared::password_option(command, options->password);
  shared::output_option(command, options->output, "signed_message.txt");
  command.add_option("payload", options->payload,
                     "File holding the payload to sign, signed byte for byte; '-' or none: "
                     "standard input. Only UTF-8 text with LF line ends verifies again")
      ->type_name("PAYLOAD");
  command.add_flag("-q,--quiet", options->quiet,
                   "Show no progress line (one is shown on a terminal for payloads over 64 MiB)");
  command.footer(
      "Writes a multipart/signed S/MIME message: the payload as a text/plain part and a "
      "detached PKCS#7 signature (SHA-256) by the certificate's key as the second part.");
  return [options] { run(*options); };
}

}  // namespace

NORVAN_CLI_COMMAND(sign, "Sign a payload into an S/MIME clear-signed message");

}  // namespace norvan::cli::commands::sign
