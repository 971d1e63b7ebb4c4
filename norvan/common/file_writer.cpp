#include "norvan/common/file_writer.hpp"

#include "norvan/common/fd.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/hex.hpp"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <stdexcept>
#include <string_view>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvan {
namespace fs = std::filesystem;

namespace {

// Symbolic links followed before giving up, as the kernel does.
constexpr int kMaxLinks = 40;
// Names tried for a temporary file before giving up.
constexpr int kMaxNameAttempts = 16;

// What a failed write reports: the output as the caller named it.
struct Place {
  std::string action;                 // "Cannot write" or "Cannot write <what>"
  std::optional<fs::path> target;     // absent: standard output

  [[noreturn]] void fail(int errnum) const {
    if (target) throw_file_error(action, *target, errnum);
    throw FileError(action + " to standard output: " + std::strerror(errnum), "-",
                    std::error_code(errnum, std::generic_category()));
  }
  void check(int errnum) const {
    if (errnum != 0) fail(errnum);
  }
};

// The descriptor number N of "/dev/fd/N" or "/proc/self/fd/N" (what /dev/stdout and its
// kin point to), or -1 for any other path.
int own_descriptor_number(const fs::path& path) {
  const std::string text = path.string();
  for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"}) {
    if (!text.starts_with(prefix)) continue;
    const std::string_view digits = std::string_view(text).substr(prefix.size());
    int fd = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
    if (error == std::errc() && end == digits.data() + digits.size() && !digits.empty()) return fd;
  }
  return -1;
}

// Where a target path leads once its symbolic links have been followed.
struct Destination {
  enum class Kind { descriptor, in_place, regular, absent } kind;
  fs::path path;         // the final path (in_place, regular, absent)
  int fd = -1;           // descriptor
  struct stat info {};   // regular
};

fs::path read_link(const fs::path& link, const Place& place) {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length < 0) place.fail(errno);
  if (static_cast<std::size_t>(length) >= target.size()) place.fail(ENAMETOOLONG);
  target.resize(static_cast<std::size_t>(length));
  return link.parent_path() / target;  // an absolute link target replaces the parent
}

// Follows the final component's symbolic links one at a time, so that a dangling link still
// leads to the file it names (which is then created there).
Destination find_destination(const fs::path& target, const Place& place) {
  fs::path path = target;
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    if (const int fd = own_descriptor_number(path); fd >= 0) return {Destination::Kind::descriptor, path, fd};
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
      if (errno == ENOENT) return {Destination::Kind::absent, path};
      place.fail(errno);
    }
    if (S_ISLNK(info.st_mode)) {
      path = read_link(path, place);
      continue;
    }
    if (S_ISDIR(info.st_mode)) place.fail(EISDIR);
    if (S_ISREG(info.st_mode)) return {Destination::Kind::regular, path, -1, info};
    return {Destination::Kind::in_place, path};
  }
  place.fail(ELOOP);
}

// Holds back the signals that end a process by default while the output is put in place; a
// signal that arrived meanwhile takes effect once the commit is done.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM}) sigaddset(&held, signal);
    ::pthread_sigmask(SIG_BLOCK, &held, &saved_);
  }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  ~HeldSignals() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_{};
};

std::string temporary_name(const fs::path& target) {
  std::uint8_t random[6] = {};
  if (::getrandom(random, sizeof random, 0) != sizeof random) {
    // Without randomness the name is still unique enough: an existing one is skipped.
    const auto seed = static_cast<std::uint64_t>(::getpid()) ^ reinterpret_cast<std::uintptr_t>(&random);
    std::memcpy(random, &seed, sizeof random);
  }
  return "." + target.filename().string() + "." + to_hex(random) + ".tmp";
}

}  // namespace

class FileWriter::Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(ByteView piece) = 0;
  virtual void commit(DirectoryFlush flush) = 0;
  virtual bool in_place() const = 0;
};

namespace {

// Standard output, or another descriptor of this process: written as is, never closed.
class DescriptorSink final : public FileWriter::Sink {
 public:
  DescriptorSink(int fd, Place place) : fd_(fd), place_(std::move(place)) {
    std::fflush(stdout);  // anything already buffered goes in front of our bytes
  }
  void write(ByteView piece) override { place_.check(write_all(fd_, piece)); }
  void commit(DirectoryFlush /*flush*/) override {}
  bool in_place() const override { return true; }

 private:
  int fd_;
  Place place_;
};

// A FIFO, a device, a terminal: opened for writing and written where it is.
class InPlaceSink final : public FileWriter::Sink {
 public:
  InPlaceSink(const fs::path& path, Place place)
      : fd_(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC)), place_(std::move(place)) {
    if (!fd_) place_.fail(errno);
  }
  void write(ByteView piece) override { place_.check(write_all(fd_.get(), piece)); }
  void commit(DirectoryFlush /*flush*/) override { place_.check(fd_.close()); }
  bool in_place() const override { return true; }

 private:
  FileDescriptor fd_;
  Place place_;
};

// A regular file (or none yet): written to a temporary file in the same directory, which
// commit() renames over it.
class ReplacingSink final : public FileWriter::Sink {
 public:
  ReplacingSink(const Destination& destination, FileMode mode, Place place)
      : name_(destination.path.filename()), place_(std::move(place)) {
    const fs::path directory = destination.path.parent_path().empty() ? fs::path(".") : destination.path.parent_path();
    directory_.reset(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory_) place_.fail(errno);
    const mode_t new_mode = mode == FileMode::owner_only ? 0600 : 0666;
    file_.reset(::openat(directory_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, new_mode));
    if (!file_ && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) create_named(new_mode);
    if (!file_) place_.fail(errno);
    if (destination.kind == Destination::Kind::regular) keep_owner_and_mode(destination.info, mode);
  }
  ReplacingSink(const ReplacingSink&) = delete;
  ReplacingSink& operator=(const ReplacingSink&) = delete;
  ~ReplacingSink() override { discard_name(); }

  void write(ByteView piece) override { place_.check(write_all(file_.get(), piece)); }

  bool in_place() const override { return false; }
  void commit(DirectoryFlush flush) override {
    if (::fsync(file_.get()) != 0) place_.fail(errno);
    const HeldSignals held;
    if (temporary_name_.empty()) give_name();
    place_.check(file_.close());
    if (::renameat(directory_.get(), temporary_name_.c_str(), directory_.get(), name_.c_str()) != 0) {
      const int error = errno;
      discard_name();  // before a held signal can end the process
      place_.fail(error);
    }
    temporary_name_.clear();
    if (flush == DirectoryFlush::on_commit) ::fsync(directory_.get());  // best effort: the rename is done either way
  }

 private:
  // Where the file system has no unnamed files: a hidden file beside the target.
  void create_named(mode_t mode) {
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
      const std::string name = temporary_name(name_);
      file_.reset(::openat(directory_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
      if (file_) {
        temporary_name_ = name;
        return;
      }
      if (errno != EEXIST) return;
    }
  }

  void keep_owner_and_mode(const struct stat& existing, FileMode mode) {
    (void)!::fchown(file_.get(), existing.st_uid, existing.st_gid);  // only root may give files away
    const mode_t kept = existing.st_mode & (mode == FileMode::owner_only ? 0700 : 07777);
    if (::fchmod(file_.get(), kept) != 0) place_.fail(errno);
  }

  // Links the unnamed file into the directory under a fresh temporary name.
  void give_name() {
    const std::string by_descriptor = "/proc/self/fd/" + std::to_string(file_.get());
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
      const std::string name = temporary_name(name_);
      // AT_EMPTY_PATH needs a capability that ordinary users lack; /proc works for everyone.
      if (::linkat(file_.get(), "", directory_.get(), name.c_str(), AT_EMPTY_PATH) == 0 ||
          ::linkat(AT_FDCWD, by_descriptor.c_str(), directory_.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        temporary_name_ = name;
        return;
      }
      if (errno != EEXIST) place_.fail(errno);
    }
    place_.fail(EEXIST);
  }

  void discard_name() noexcept {
    if (!temporary_name_.empty()) ::unlinkat(directory_.get(), temporary_name_.c_str(), 0);
    temporary_name_.clear();
  }

  fs::path name_;
  Place place_;
  FileDescriptor directory_;
  FileDescriptor file_;
  std::string temporary_name_;  // the file's name in the directory until it is renamed
};

}  // namespace

FileWriter::FileWriter(std::optional<fs::path> target, FileMode mode, std::string what)
    : target_(std::move(target)), mode_(mode), action_(what.empty() ? "Cannot write" : "Cannot write " + what) {}

FileWriter::~FileWriter() = default;

void FileWriter::open() {
  Place place{action_, target_};
  if (!target_) {
    sink_ = std::make_unique<DescriptorSink>(STDOUT_FILENO, std::move(place));
    return;
  }
  const Destination destination = find_destination(*target_, place);
  switch (destination.kind) {
    case Destination::Kind::descriptor:
      sink_ = std::make_unique<DescriptorSink>(destination.fd, std::move(place));
      break;
    case Destination::Kind::in_place:
      sink_ = std::make_unique<InPlaceSink>(destination.path, std::move(place));
      break;
    case Destination::Kind::regular:
    case Destination::Kind::absent:
      sink_ = std::make_unique<ReplacingSink>(destination, mode_, std::move(place));
      break;
  }
}

void FileWriter::write(ByteView piece) {
  if (committed_) throw std::logic_error("FileWriter::write called after commit");
  if (!sink_) open();
  sink_->write(piece);
}

bool FileWriter::writes_in_place() {
  if (committed_) throw std::logic_error("FileWriter::writes_in_place called after commit");
  if (!sink_) open();
  return sink_->in_place();
}

void FileWriter::commit(DirectoryFlush flush) {
  if (committed_) throw std::logic_error("FileWriter::commit called twice");
  if (!sink_) open();
  committed_ = true;
  sink_->commit(flush);
}

void flush_directory(const fs::path& directory) noexcept {
  const FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

void write_file(const std::optional<fs::path>& target, ByteView content, FileMode mode, std::string what) {
  FileWriter writer(target, mode, std::move(what));
  writer.write(content);
  writer.commit();
}

}  // namespace norvan
