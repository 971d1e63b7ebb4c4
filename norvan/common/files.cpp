#include "norvan/common/files.hpp"

#include "norvan/common/fd.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <openssl/crypto.h>

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

// What happens to the bytes read so far when the buffer outgrows them.
enum class OldBuffer { freed, wiped };

// Reads `fd` to its end, straight into the buffer it returns; refuses more than `limit` bytes
// and reads at most one byte beyond them. `expected` is the size to make room for (a regular
// file's size, so that it is read without growing the buffer). With OldBuffer::wiped, a buffer
// that is outgrown is overwritten before it is freed, so that a secret read from a pipe leaves
// no copies behind.
Bytes read_to_end(int fd, std::size_t limit, const Source& source, std::size_t expected = 0,
                  OldBuffer old_buffer = OldBuffer::freed) {
  constexpr std::size_t kFirstRoom = 65536;
  const std::size_t most = limit == SIZE_MAX ? limit : limit + 1;  // one byte more shows "too large"
  Bytes contents(std::min(most, expected == 0 ? kFirstRoom : expected + 1));
  std::size_t used = 0;
  for (;;) {
    if (used == contents.size()) {
      Bytes larger(std::min(most, std::max(contents.size(), kFirstRoom / 2) * 2));
      std::copy(contents.begin(), contents.end(), larger.begin());
      if (old_buffer == OldBuffer::wiped) OPENSSL_cleanse(contents.data(), contents.size());
      contents.swap(larger);
    }
    const ssize_t n = ::read(fd, contents.data() + used, contents.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (old_buffer == OldBuffer::wiped) OPENSSL_cleanse(contents.data(), used);
      source.fail(errno);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (used > limit) {
      if (old_buffer == OldBuffer::wiped) OPENSSL_cleanse(contents.data(), used);
      source.too_large(limit);
    }
  }
  contents.resize(used);
  return contents;
}

// Opens `path` for reading whole; refuses directories and regular files over `limit`.
// Returns the descriptor and the size to make room for.
std::pair<FileDescriptor, std::size_t> open_whole(const std::filesystem::path& path, std::size_t limit,
                                                  const Source& source) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) source.fail(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) source.fail(errno);
  if (S_ISDIR(info.st_mode)) source.fail(EISDIR);
  if (S_ISREG(info.st_mode) && static_cast<std::uintmax_t>(info.st_size) > limit) source.too_large(limit);
  const std::size_t expected = S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) : 0;
  return {std::move(fd), expected};
}

}  // namespace

void throw_file_error(std::string_view action, const std::filesystem::path& path, int errnum) {
  std::string message(action);
  message += " '" + path.string() + "': " + std::strerror(errnum);
  throw FileError(message, path, std::error_code(errnum, std::generic_category()));
}

Bytes read_file(const std::filesystem::path& path, std::string_view what, std::size_t limit) {
  const Source source{"Cannot read " + std::string(what), path};
  const auto [fd, expected] = open_whole(path, limit, source);
  return read_to_end(fd.get(), limit, source, expected);
}

SecretBytes read_secret_file(const std::filesystem::path& path, std::string_view what) {
  const Source source{"Cannot read " + std::string(what), path};
  const auto [fd, expected] = open_whole(path, kSmallFileLimit, source);
  return SecretBytes(read_to_end(fd.get(), kSmallFileLimit, source, expected, OldBuffer::wiped));
}

Bytes read_standard_input(std::string_view what, std::size_t limit) {
  return read_to_end(STDIN_FILENO, limit, Source{"Cannot read " + std::string(what), "-"});
}

}  // namespace norvan
