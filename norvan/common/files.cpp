#include "norvan/common/files.hpp"

#include "norvan/common/fd.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvan {
namespace {

std::string size_text(std::size_t bytes) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  if (bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// Where the bytes come from, for error texts: "<action> '<path>'" or "<action> from standard input".
struct Source {
  std::string action;
  std::filesystem::path path;  // "-" for standard input

  [[noreturn]] void fail(int errnum, const std::string& reason) const {
    const std::string place = path == "-" ? " from standard input" : " '" + path.string() + "'";
    throw FileError(action + place + ": " + reason, path, std::error_code(errnum, std::generic_category()));
  }
  [[noreturn]] void fail(int errnum) const { fail(errnum, std::strerror(errnum)); }
  [[noreturn]] void too_large(std::size_t limit) const {
    fail(EFBIG, "it is larger than " + size_text(limit) + ", the limit for this input");
  }
};

// Reads `fd` to its end; refuses more than `limit` bytes without reading far beyond them.
// `expected` is the size to reserve room for.
Bytes read_to_end(int fd, std::size_t limit, const Source& source, std::size_t expected = 0) {
  Bytes contents;
  contents.reserve(expected);
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      source.fail(errno);
    }
    if (n == 0) return contents;
    if (static_cast<std::size_t>(n) > limit - contents.size()) source.too_large(limit);
    contents.insert(contents.end(), buffer, buffer + n);
  }
}

}  // namespace

void throw_file_error(std::string_view action, const std::filesystem::path& path, int errnum) {
  std::string message(action);
  message += " '" + path.string() + "': " + std::strerror(errnum);
  throw FileError(message, path, std::error_code(errnum, std::generic_category()));
}

Bytes read_file(const std::filesystem::path& path, std::string_view what, std::size_t limit) {
  const Source source{"Cannot read " + std::string(what), path};
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) source.fail(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) source.fail(errno);
  if (S_ISDIR(info.st_mode)) source.fail(EISDIR);
  if (S_ISREG(info.st_mode) && static_cast<std::uintmax_t>(info.st_size) > limit) source.too_large(limit);

  const std::size_t expected = S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) : 0;
  return read_to_end(fd.get(), limit, source, expected);
}

Bytes read_standard_input(std::string_view what, std::size_t limit) {
  return read_to_end(STDIN_FILENO, limit, Source{"Cannot read " + std::string(what), "-"});
}

}  // namespace norvan
