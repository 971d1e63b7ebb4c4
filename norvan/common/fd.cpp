#include "norvan/common/fd.hpp"

#include <cerrno>
#include <unistd.h>

namespace norvan {

void FileDescriptor::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int FileDescriptor::close() noexcept {
  if (fd_ < 0) return 0;
  // Linux frees the descriptor even when close fails; it must not be closed again.
  const int result = ::close(std::exchange(fd_, -1));
  return result == 0 || errno == EINTR ? 0 : errno;
}

int write_all(int fd, ByteView bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(count));
  }
  return 0;
}

}  // namespace norvan
