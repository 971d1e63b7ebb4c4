#include "norvan/common/temporary_file.hpp"

#include "norvan/common/files.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace norvan {
namespace fs = std::filesystem;

namespace {

// $TMPDIR as given (a wrong one is reported, not passed over), else /tmp.
fs::path temporary_directory() {
  const char* directory = std::getenv("TMPDIR");
  return directory != nullptr && *directory != '\0' ? fs::path(directory) : fs::path("/tmp");
}

// Where the file system has no unnamed files: a fresh name, removed as soon as it exists.
int create_and_unlink(const fs::path& directory) {
  std::string name = (directory / "norvan-XXXXXX").string();
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

}  // namespace

TemporaryFile::TemporaryFile(std::string purpose) : purpose_(std::move(purpose)), directory_(temporary_directory()) {
  file_.reset(::open(directory_.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600));
  if (!file_ && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) file_.reset(create_and_unlink(directory_));
  if (!file_) fail("Cannot create a temporary file for " + purpose_ + " in", errno);
}

void TemporaryFile::write(ByteView bytes) {
  if (const int error = write_all(file_.get(), bytes); error != 0) {
    fail("Cannot write " + purpose_ + " to a temporary file in", error);
  }
}

void TemporaryFile::rewind() {
  if (::lseek(file_.get(), 0, SEEK_SET) < 0) fail("Cannot read " + purpose_ + " back from a temporary file in", errno);
}

std::size_t TemporaryFile::read(std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t count = ::read(file_.get(), buffer.data(), buffer.size());
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) fail("Cannot read " + purpose_ + " back from a temporary file in", errno);
  }
}

fs::path TemporaryFile::path() const { return "/proc/self/fd/" + std::to_string(file_.get()); }

void TemporaryFile::fail(const std::string& action, int errnum) const {
  throw_file_error(action, directory_, errnum);
}

}  // namespace norvan
