#include "norvan/common/file_lock.hpp"

#include "norvan/common/files.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvan {
namespace {

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// True when `fd` is still the file that `path` names: a holder deletes the lock file before it
// lets go, and a lock taken on the deleted file protects nothing.
bool still_named(int fd, const std::filesystem::path& path) {
  struct stat opened {}, named {};
  return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && same_file(opened, named);
}

}  // namespace

FileLock::FileLock(std::filesystem::path path, const std::string& held_text) : path_(std::move(path)) {
  const std::string action = "Cannot take the lock file";
  for (;;) {
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) throw_file_error(action, path_, errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) throw LockHeldError(held_text);
      throw_file_error(action, path_, error);
    }
    if (still_named(fd, path_)) {
      fd_ = fd;
      return;
    }
    ::close(fd);  // the holder deleted it between our open and our lock: start again
  }
}

FileLock::~FileLock() {
  ::unlink(path_.c_str());
  ::close(fd_);
}

}  // namespace norvan
