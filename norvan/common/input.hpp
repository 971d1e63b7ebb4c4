#pragma once
// The one way norvan reads its inputs: a file or standard input, opened once, refused when it
// is a directory, read with interruptions retried, whole (bounded) or in pieces.

#include "norvan/common/bytes.hpp"
#include "norvan/common/fd.hpp"
#include "norvan/common/secret_bytes.hpp"
#include "norvan/common/temporary_file.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// The most bytes read whole: all of an input that is never large (a key, a certificate, a
/// project file), and what of a stream is kept in memory before it is spooled. Far above any
/// real key, low enough that /dev/zero given by mistake is refused at once.
inline constexpr std::size_t kSmallFileLimit = std::size_t{16} << 20;

/// No limit: for payloads and messages, which may be as large as the disk.
inline constexpr std::size_t kNoLimit = SIZE_MAX;

/// Told how many more bytes were read, for a progress display.
using ReadProgress = std::function<void(std::size_t bytes)>;

/// An open input. Errors are FileError with the text "Cannot read <what> '<path>': <reason>"
/// for a file, "Cannot read <what> from standard input: <reason>" for standard input and
/// "Cannot read <what>: <reason>" for another descriptor. Not shared between threads.
class Input {
 public:
  /// Opens the file at `path`. Throws FileError when it cannot be opened or is a directory.
  static Input file(const std::filesystem::path& path, std::string what);
  /// Standard input and any other descriptor are borrowed: never closed by this object.
  static Input standard_input(std::string what);
  static Input descriptor(int fd, std::string what);

  Input(Input&&) noexcept = default;
  Input& operator=(Input&&) noexcept = default;

  int fd() const noexcept { return fd_; }

  /// Whether the input is a regular file; its size, absent for anything else.
  bool is_regular() const;
  std::optional<std::uint64_t> regular_size() const;

  /// Fills the front of `buffer`; returns how many bytes, 0 at the end.
  std::size_t read(std::span<std::uint8_t> buffer);
  /// Fills the front of `buffer` with the bytes at `offset` of a regular file, leaving the
  /// position alone; returns how many, 0 at the end.
  std::size_t read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const;
  /// Goes on reading at `offset` of a regular file.
  void seek(std::uint64_t offset);

  /// Everything left, up to its end. Throws FileError "...: it is larger than 16 MiB, the
  /// limit for this input" beyond `limit` (reading at most one byte more).
  Bytes read_all(std::size_t limit = kSmallFileLimit);
  /// read_all for a secret: no copy of the bytes is left in memory that was freed, also when
  /// a pipe is read in many pieces.
  SecretBytes read_secret(std::size_t limit = kSmallFileLimit);

  /// Appends to `buffer` until it holds `limit` bytes or the input ends; returns whether it
  /// ended. `progress` hears of every piece.
  bool read_up_to(Bytes& buffer, std::size_t limit, const ReadProgress& progress = {});

  /// Throws FileError for `errnum` with `reason` (default: strerror) as this input's failure.
  [[noreturn]] void fail(int errnum, const std::string& reason = {}) const;

 private:
  Input(FileDescriptor owned, int fd, std::string place, std::filesystem::path path);
  Bytes read_to_end(std::size_t limit, bool secret);

  FileDescriptor owned_;
  int fd_ = -1;
  std::string place_;  // "Cannot read <what> '<path>'", ... as the errors begin
  std::filesystem::path path_;
};

/// An input read whole from a stream: in memory when it has at most kSmallFileLimit bytes,
/// else all of it in an unnamed temporary file (then `memory` is empty).
struct SpooledInput {
  Bytes memory;
  std::optional<TemporaryFile> file;
};

/// Reads `input` to its end as SpooledInput; `purpose` names the temporary file's contents in
/// its errors ("the message from standard input").
SpooledInput read_or_spool(Input& input, const std::string& purpose, const ReadProgress& progress = {});

}  // namespace norvan

NORVAN_PUBLIC_END
