#pragma once
// An exclusive lock, held through a lock file that exists only while the lock is held.

#include "norvan/common/error.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// Another holder has the lock; its text names the lock file.
class LockHeldError : public Error {
 public:
  explicit LockHeldError(const std::string& what) : Error(ErrorCode::file, what) {}
};

/// Holds flock(LOCK_EX) on the file `path` from construction to destruction, which deletes the
/// file again. Never waits: when another holder (in this process or another) has the lock, the
/// constructor throws LockHeldError with `held_text` as its text. A lock file left by a holder
/// that was killed is taken over, since the kernel drops a lock with its last descriptor.
/// Throws norvan::FileError when the file cannot be created or locked for another reason.
class FileLock {
 public:
  FileLock(std::filesystem::path path, const std::string& held_text);
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

}  // namespace norvan

NORVAN_PUBLIC_END
