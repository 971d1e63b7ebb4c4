#include "norvan/binary_image/drovane/replace_file.hpp"

#include "norvan/common/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <utility>

namespace norvan::binary_image::drovane::detail {
namespace {

// Removes a temporary file unless it has been renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::filesystem::path& path() const noexcept { return path_; }
  void release() noexcept { path_.clear(); }

 private:
  std::filesystem::path path_;
};

// Creates a new file beside `target` with a unique name; returns its descriptor.
int create_sibling(const std::filesystem::path& target, std::filesystem::path& created) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = target;
    candidate += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(random());
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      created = candidate;
      return fd;
    }
    if (errno != EEXIST) throw_file_error("Cannot write the Hatch project file", target, errno);
  }
  throw_file_error("Cannot write the Hatch project file", target, EEXIST);
}

void write_all(int fd, std::string_view text, const std::filesystem::path& target) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_file_error("Cannot write the Hatch project file", target, errno);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void replace_file(const std::filesystem::path& target, std::string_view text) {
  std::filesystem::path created;
  const int fd = create_sibling(target, created);
  TemporaryFile temporary(created);
  int error = 0;
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 && ::fchmod(fd, existing.st_mode & 07777) != 0) error = errno;
  if (error == 0) {
    try {
      write_all(fd, text, target);
    } catch (...) {
      ::close(fd);
      throw;
    }
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) throw_file_error("Cannot write the Hatch project file", target, error);
  if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
    throw_file_error("Cannot write the Hatch project file", target, errno);
  }
  temporary.release();
}
}  // namespace norvan::binary_image::drovane::detail
