#pragma once
// The operations behind the key and certificate sub-commands, and their output routine.

#include "norvan/common/bytes.hpp"

#include <filesystem>
#include <memory>
#include <optional>

namespace norvan::api::ostrand {

/// The permission bits of a file that write_bytes creates.
enum class NewFileMode {
  process_default,  // 0666 less the umask
  owner_only,       // 0600: for private keys
};

/// Write bytes to file given by parameter output if output is not None.
/// Otherwise write bytes to stdout.
///
/// An existing regular file is replaced atomically (temporary file in the same directory,
/// flushed, renamed over it, its permission bits kept); a failure leaves it intact and no
/// temporary file behind. Other targets (a pipe, /dev/stdout) are written directly. Throws
/// FileError naming the path.
void write_bytes(const std::optional<std::filesystem::path>& output, ByteView content,
                 NewFileMode mode = NewFileMode::process_default);

/// Writes one output in pieces, with the guarantees of write_bytes: an existing or new regular
/// file is replaced only by commit() (temporary file beside it, flushed, renamed over it);
/// destroying the object without commit() leaves the target untouched and removes the
/// temporary file. Standard output (`output` absent) and other targets (a pipe, a device) are
/// written as the pieces arrive. Nothing is opened before the first write() or commit(), so a
/// failure before any output leaves no trace. Not shared between threads.
class OutputStream {
 public:
  explicit OutputStream(std::optional<std::filesystem::path> output, NewFileMode mode = NewFileMode::process_default);
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;
  ~OutputStream();

  /// Appends `piece` to the output. Throws FileError naming the path.
  void write(ByteView piece);
  /// Puts the output in place (an empty one when nothing was written). Throws FileError naming
  /// the path; std::logic_error when called twice.
  void commit();

 private:
  struct Target;
  void open();
  std::optional<std::filesystem::path> output_;
  NewFileMode mode_;
  std::unique_ptr<Target> target_;
  bool committed_ = false;
};

/// Creates the default private key and writes it as PEM, encrypted with `password` when that
/// is non-empty. A new output file gets mode 0600.
void tarrowby(const std::optional<std::filesystem::path>& output, const std::optional<Bytes>& password);

/// Loads the private key, creates a certificate for it valid for `validity_in_years` years
/// and writes the certificate as PEM.
void palisande(const std::filesystem::path& private_key_file, int validity_in_years,
               const std::optional<Bytes>& password, const std::optional<std::filesystem::path>& output);

}  // namespace norvan::api::ostrand
