#include "norvan/common/input.hpp"

#include "norvan/common/files.hpp"

#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace norvan {
namespace {

std::string size_text(std::size_t bytes) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  if (bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// A stream is read in pieces of this size.
constexpr std::size_t kPieceSize = 65536;

}  // namespace

Input::Input(FileDescriptor owned, int fd, std::string place, std::filesystem::path path)
    : owned_(std::move(owned)), fd_(fd), place_(std::move(place)), path_(std::move(path)) {}

Input Input::file(const std::filesystem::path& path, std::string what) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  const int raw = fd.get();
  Input input(std::move(fd), raw, "Cannot read " + what + " '" + path.string() + "'", path);
  if (raw < 0) input.fail(errno);
  struct stat info {};
  if (::fstat(raw, &info) != 0) input.fail(errno);
  if (S_ISDIR(info.st_mode)) input.fail(EISDIR);
  return input;
}

Input Input::standard_input(std::string what) {
  return Input(FileDescriptor(), STDIN_FILENO, "Cannot read " + what + " from standard input", "-");
}

Input Input::descriptor(int fd, std::string what) {
  return Input(FileDescriptor(), fd, "Cannot read " + what, {});
}

void Input::fail(int errnum, const std::string& reason) const {
  throw FileError(place_ + ": " + (reason.empty() ? std::string(std::strerror(errnum)) : reason), path_,
                  std::error_code(errnum, std::generic_category()));
}

bool Input::is_regular() const {
  struct stat info {};
  return ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::uint64_t> Input::regular_size() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

std::size_t Input::read(std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) fail(errno);
  }
}

std::size_t Input::read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
  for (;;) {
    const ssize_t count = ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) fail(errno);
  }
}

void Input::seek(std::uint64_t offset) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) fail(errno);
}

// Reads to the end straight into the buffer returned, made room for at a regular file's size;
// refuses more than `limit` bytes, reading at most one beyond them. A secret's outgrown or
// abandoned buffers are wiped before they are freed.
Bytes Input::read_to_end(std::size_t limit, bool secret) {
  const std::size_t most = limit == kNoLimit ? limit : limit + 1;  // one byte more shows "too large"
  const std::optional<std::uint64_t> size = regular_size();
  if (size && *size > limit) fail(EFBIG, "it is larger than " + size_text(limit) + ", the limit for this input");
  Bytes contents(std::min<std::uint64_t>(most, size && *size > 0 ? *size + 1 : kPieceSize));
  std::size_t used = 0;
  const auto wipe = [&](Bytes& bytes, std::size_t count) {
    if (secret) OPENSSL_cleanse(bytes.data(), count);
  };
  for (;;) {
    if (used == contents.size()) {
      Bytes larger(std::min(most, std::max(contents.size(), kPieceSize / 2) * 2));
      std::copy(contents.begin(), contents.end(), larger.begin());
      wipe(contents, contents.size());
      contents.swap(larger);
    }
    std::size_t count = 0;
    try {
      count = read(std::span<std::uint8_t>(contents).subspan(used));
    } catch (...) {
      wipe(contents, used);
      throw;
    }
    if (count == 0) break;
    used += count;
    if (used > limit) {
      wipe(contents, used);
      fail(EFBIG, "it is larger than " + size_text(limit) + ", the limit for this input");
    }
  }
  contents.resize(used);
  return contents;
}

Bytes Input::read_all(std::size_t limit) { return read_to_end(limit, false); }

SecretBytes Input::read_secret(std::size_t limit) { return SecretBytes(read_to_end(limit, true)); }

bool Input::read_up_to(Bytes& buffer, std::size_t limit, const ReadProgress& progress) {
  std::uint8_t piece[kPieceSize];
  while (buffer.size() < limit) {
    const std::size_t count = read(std::span<std::uint8_t>(piece, std::min(sizeof piece, limit - buffer.size())));
    if (count == 0) return true;
    buffer.insert(buffer.end(), piece, piece + count);
    if (progress) progress(count);
  }
  return false;
}

SpooledInput read_or_spool(Input& input, const std::string& purpose, const ReadProgress& progress) {
  SpooledInput result;
  if (input.read_up_to(result.memory, kSmallFileLimit, progress)) return result;
  result.file.emplace(purpose);
  for (bool ended = false;;) {
    result.file->write(result.memory);
    result.memory.clear();
    if (ended) break;
    ended = input.read_up_to(result.memory, kSmallFileLimit, progress);
  }
  Bytes().swap(result.memory);
  result.file->rewind();
  return result;
}

}  // namespace norvan
