#include "norvan/common/files.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvan {
namespace {

// Closes a file descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

void throw_file_error(std::string_view action, const std::filesystem::path& path, int errnum) {
  std::string message(action);
  message += " '" + path.string() + "': " + std::strerror(errnum);
  throw FileError(message, path, std::error_code(errnum, std::generic_category()));
}

Bytes read_file(const std::filesystem::path& path, std::string_view what) {
  const std::string action = "Cannot read " + std::string(what);
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_file_error(action, path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw_file_error(action, path, errno);
  if (S_ISDIR(info.st_mode)) throw_file_error(action, path, EISDIR);

  Bytes contents;
  if (S_ISREG(info.st_mode) && info.st_size > 0) contents.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_file_error(action, path, errno);
    }
    if (n == 0) break;
    contents.insert(contents.end(), buffer, buffer + n);
  }
  return contents;
}

Bytes read_standard_input(std::string_view what) {
  Bytes contents;
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileError("Cannot read " + std::string(what) + " from standard input: " + std::strerror(errno),
                      "-", std::error_code(errno, std::generic_category()));
    }
    if (n == 0) break;
    contents.insert(contents.end(), buffer, buffer + n);
  }
  return contents;
}

}  // namespace norvan
