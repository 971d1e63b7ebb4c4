#pragma once
// A scratch file that has no name, so that nothing of it survives the process, however that ends.

#include "norvan/common/bytes.hpp"
#include "norvan/common/fd.hpp"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// An unnamed file in the temporary directory ($TMPDIR, else /tmp), open for reading and
/// writing and readable by this user only. It never has a name (or, where the file system
/// lacks unnamed files, loses it at once), so the system frees it when the last descriptor
/// closes, even after SIGKILL. Not shared between threads.
class TemporaryFile {
 public:
  /// `purpose` names the contents in error texts ("the message from standard input").
  /// Throws FileError "Cannot create a temporary file for <purpose> in '<dir>': <reason>".
  explicit TemporaryFile(std::string purpose);

  /// Appends `bytes`. Throws FileError "Cannot write <purpose> to a temporary file in
  /// '<dir>': <reason>" (a full disk: "No space left on device").
  void write(ByteView bytes);

  /// Moves back to the start, for reading what was written.
  void rewind();

  /// Fills the front of `buffer` from the current position; returns how many bytes, 0 at the
  /// end. Throws FileError.
  std::size_t read(std::span<std::uint8_t> buffer);

  /// A path that opens this same file while the object lives (/proc/self/fd/N).
  std::filesystem::path path() const;

  int fd() const noexcept { return file_.get(); }

 private:
  [[noreturn]] void fail(const std::string& action, int errnum) const;
  std::string purpose_;
  std::filesystem::path directory_;
  FileDescriptor file_;
};

}  // namespace norvan

NORVAN_PUBLIC_END
