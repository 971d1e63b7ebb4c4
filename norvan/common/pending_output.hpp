#pragma once
// An output whose bytes reach their destination only once the caller says they may: for a
// payload that is written while it is verified and released only when it verified.

#include "norvan/common/bytes.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/temporary_file.hpp"

#include <optional>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// Holds back what is written to `output` (borrowed) until commit(); destroying it without
/// commit() discards everything written, and nothing has reached the destination then.
///
/// A regular file (or none yet) is written through FileWriter's unnamed temporary file, which
/// commit() puts in place. Standard output, a pipe, a device or a terminal, which FileWriter
/// writes in place, receive nothing before commit(): the bytes are held in memory up to
/// kSmallFileLimit and beyond that in an unnamed temporary file (so memory use does not grow
/// with the output), and commit() copies them there. Not shared between threads.
class PendingOutput {
 public:
  /// `purpose` names the held bytes in the temporary file's errors ("the payload being verified").
  PendingOutput(FileWriter& output, std::string purpose);
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  /// Appends `piece`. Throws FileError (a full disk).
  void write(ByteView piece);

  /// Hands everything held back on to `output`, which the caller commits. Throws FileError.
  void release();

  /// release(), then commits `output` (flushing the directory of a replaced file as `flush`
  /// says). Throws FileError.
  void commit(DirectoryFlush flush = DirectoryFlush::on_commit);

 private:
  FileWriter& output_;
  std::string purpose_;
  std::optional<bool> in_place_;  // told at the first write()
  Bytes memory_;
  std::optional<TemporaryFile> spool_;
};

}  // namespace norvan

NORVAN_PUBLIC_END
