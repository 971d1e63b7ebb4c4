#pragma once
// Ownership of a POSIX file descriptor, and writing a byte string to one whole.

#include "norvan/common/bytes.hpp"

#include <utility>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// Owns one file descriptor and closes it when destroyed. Move-only; -1 means "none".
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  /// Takes ownership of `fd` (which may be -1).
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  /// The descriptor, still owned by this object; -1 when there is none.
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  /// Gives up ownership and returns the descriptor.
  int release() noexcept { return std::exchange(fd_, -1); }

  /// Closes the descriptor held (errors ignored) and takes ownership of `fd`.
  void reset(int fd = -1) noexcept;

  /// Closes the descriptor held now; returns 0, or the errno of a failed close (which can
  /// report a write the file system could not complete).
  int close() noexcept;

 private:
  int fd_ = -1;
};

/// Writes all of `bytes` to `fd`, retrying after interruptions and short writes. Returns 0,
/// or the errno of the write that failed.
[[nodiscard]] int write_all(int fd, ByteView bytes) noexcept;

}  // namespace norvan

NORVAN_PUBLIC_END
