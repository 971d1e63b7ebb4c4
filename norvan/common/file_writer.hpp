#pragma once
// The one way norvan writes an output file: a regular file is replaced whole or not at all;
// anything else (a pipe, a device, a terminal) is written in place and never replaced.

#include "norvan/common/bytes.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// The permission bits of a written file.
enum class FileMode {
  standard,    // a new file: 0666 less the umask; a replaced file keeps its mode
  owner_only,  // a new file: 0600; a replaced file keeps its mode less every group and other bit
};

/// Whether commit() also flushes the directory that a replaced file was renamed in.
enum class DirectoryFlush {
  on_commit,  // the rename is on disk when commit() returns
  by_caller,  // the caller calls flush_directory() once after renaming several files there
};

/// Writes one output in pieces.
///
/// Where the bytes go, decided at the first write() or commit() (nothing is opened before):
/// - no target: standard output, as the pieces arrive;
/// - a symbolic link: whatever it finally points to, decided as below; the link stays;
/// - `/dev/stdout`, `/dev/fd/N`, `/proc/self/fd/N`: this process's descriptor N, as is;
/// - a FIFO, a device, a terminal, a socket: opened and written in place, never replaced;
/// - a regular file, or none yet: an unnamed temporary file in the same directory, which
///   commit() flushes to disk and renames over the target (keeping an existing file's owner
///   and mode, see FileMode). Until then the target is untouched and no name exists, so no
///   failure and no signal, not even SIGKILL, leaves a temporary file behind. Where the file
///   system has no unnamed files, a hidden named one stands in and is removed on failure.
///
/// Destroying the object without commit() discards a temporary file. Errors are FileError
/// "Cannot write <what> '<target>': <reason>" (the target as given). Not shared between threads.
class FileWriter {
 public:
  /// `what` names the output in error texts ("the Hatch project file"); empty: nothing.
  explicit FileWriter(std::optional<std::filesystem::path> target, FileMode mode = FileMode::standard,
                      std::string what = {});
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;
  ~FileWriter();

  /// Appends `piece` to the output. Throws FileError; std::logic_error after commit().
  void write(ByteView piece);

  /// Whether written bytes reach the destination before commit(): standard output, another
  /// descriptor, a FIFO, a device (not a replaced regular file). Opens the destination as the
  /// first write() would. Throws FileError; std::logic_error after commit().
  bool writes_in_place();

  /// Puts the output in place (an empty one when nothing was written). Termination signals
  /// that arrive meanwhile are held back until it is done. A replaced file's contents are on
  /// disk before its name is; `flush` says who flushes the name. Throws FileError;
  /// std::logic_error when called twice.
  void commit(DirectoryFlush flush = DirectoryFlush::on_commit);

  /// The destination of an output; one kind per way of writing.
  class NORVAN_INTERNAL Sink;

 private:
  void open();
  std::optional<std::filesystem::path> target_;
  FileMode mode_;
  std::string action_;
  std::unique_ptr<Sink> sink_;
  bool committed_ = false;
};

/// Flushes `directory` to disk, so that files renamed there with DirectoryFlush::by_caller keep
/// their names across a crash. Best effort, as in commit(): the renames are done either way.
void flush_directory(const std::filesystem::path& directory) noexcept;

/// Writes `content` as the whole output at `target` (standard output when absent) with the
/// guarantees of FileWriter.
void write_file(const std::optional<std::filesystem::path>& target, ByteView content,
                FileMode mode = FileMode::standard, std::string what = {});

}  // namespace norvan

NORVAN_PUBLIC_END
