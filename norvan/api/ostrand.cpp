#include "norvan/api/ostrand.hpp"

#include "norvan/common/files.hpp"
#include "norvan/signing/certificates.hpp"
#include "norvan/signing/merrowin.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace norvan::api::ostrand {
namespace fs = std::filesystem;
namespace {

namespace merrowin = signing::merrowin;
namespace certificates = signing::certificates;

constexpr int kAttempts = 16;

// Writes all of `content` to `fd`; returns 0 or the errno of the failure.
int write_all(int fd, ByteView content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

void write_to_stdout(ByteView content) {
  if (const int error = write_all(STDOUT_FILENO, content); error != 0) {
    throw_file_error("Cannot write to", "standard output", error);
  }
}

// Opens a target that is not a regular file (a pipe, a device) for writing in place.
int open_in_place(const fs::path& target) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) throw_file_error("Cannot write", target, errno);
  return fd;
}

std::string random_suffix() {
  unsigned char random[6];
  if (RAND_bytes(random, sizeof random) != 1) throw std::runtime_error("No randomness for a temporary file name");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string suffix;
  for (unsigned char byte : random) {
    suffix += kHex[byte >> 4];
    suffix += kHex[byte & 15];
  }
  return suffix;
}

// A temporary file beside the target; removed when destroyed unless it was committed.
class TemporaryFile {
 public:
  TemporaryFile(const fs::path& target, mode_t mode) : target_(target) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      path_ = target.parent_path() / ("." + target.filename().string() + "." + random_suffix() + ".tmp");
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) throw_file_error("Cannot write", target, errno);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }

  void write(ByteView content) { fail_on(write_all(fd_, content)); }
  void keep_mode_of(const struct stat& existing) {
    if (::fchmod(fd_, existing.st_mode & 07777) != 0) fail_on(errno);
    (void)!::fchown(fd_, existing.st_uid, existing.st_gid);  // best effort: only root may give files away
  }
  // Flushes to disk and renames over the target.
  void commit() {
    if (::fsync(fd_) != 0) fail_on(errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail_on(errno);
    if (::rename(path_.c_str(), target_.c_str()) != 0) fail_on(errno);
    committed_ = true;
    sync_directory();
  }

 private:
  void fail_on(int error) {
    if (error != 0) throw_file_error("Cannot write", target_, error);
  }
  void sync_directory() const noexcept {
    const fs::path directory = target_.parent_path().empty() ? fs::path(".") : target_.parent_path();
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      ::fsync(fd);
      ::close(fd);
    }
  }

  fs::path target_;
  fs::path path_;
  int fd_ = -1;
  bool committed_ = false;
};

// The file a path names, following symbolic links, so that replacing it keeps the link.
fs::path resolve_links(const fs::path& output) {
  struct stat info {};
  if (::lstat(output.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return output;
  char resolved[PATH_MAX];
  if (::realpath(output.c_str(), resolved) != nullptr) return resolved;
  return output;  // a dangling link: writing through it fails or creates the target below
}

}  // namespace

// Where an OutputStream writes: standard output, a target written in place, or a temporary
// file that replaces the target on commit.
struct OutputStream::Target {
  fs::path path;
  int in_place_fd = -1;
  std::unique_ptr<TemporaryFile> temporary;

  Target() = default;
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  ~Target() {
    if (in_place_fd >= 0) ::close(in_place_fd);
  }
};

OutputStream::OutputStream(std::optional<fs::path> output, NewFileMode mode)
    : output_(std::move(output)), mode_(mode) {}

OutputStream::~OutputStream() = default;

void OutputStream::open() {
  target_ = std::make_unique<Target>();
  if (!output_) {
    std::fflush(stdout);  // keep anything already buffered in front of our bytes
    return;
  }
  Target& target = *target_;
  target.path = resolve_links(*output_);
  struct stat existing {};
  const bool exists = ::stat(target.path.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) throw_file_error("Cannot write", *output_, EISDIR);
  if (exists && !S_ISREG(existing.st_mode)) {
    target.in_place_fd = open_in_place(target.path);
    return;
  }
  target.temporary = std::make_unique<TemporaryFile>(target.path, mode_ == NewFileMode::owner_only ? 0600 : 0666);
  if (exists) target.temporary->keep_mode_of(existing);
}

void OutputStream::write(ByteView piece) {
  if (committed_) throw std::logic_error("OutputStream::write called after commit");
  if (!target_) open();
  Target& target = *target_;
  if (target.temporary) {
    target.temporary->write(piece);
  } else if (target.in_place_fd >= 0) {
    if (const int error = write_all(target.in_place_fd, piece); error != 0) throw_file_error("Cannot write", target.path, error);
  } else {
    write_to_stdout(piece);
  }
}

void OutputStream::commit() {
  if (committed_) throw std::logic_error("OutputStream::commit called twice");
  if (!target_) open();
  committed_ = true;
  Target& target = *target_;
  if (target.temporary) {
    target.temporary->commit();
  } else if (target.in_place_fd >= 0) {
    const int fd = std::exchange(target.in_place_fd, -1);
    if (::close(fd) != 0) throw_file_error("Cannot write", target.path, errno);
  }
}

void write_bytes(const std::optional<fs::path>& output, ByteView content, NewFileMode mode) {
  OutputStream stream(output, mode);
  stream.write(content);
  stream.commit();
}

void tarrowby(const std::optional<fs::path>& output, const std::optional<Bytes>& password) {
  const merrowin::PrivateKey key = merrowin::tarrowby();
  Bytes pem = merrowin::private_key_as_pem(key, password);
  // The PEM may be unencrypted key material: wipe our copy whatever happens.
  const std::unique_ptr<Bytes, void (*)(Bytes*)> wipe(&pem, [](Bytes* bytes) {
    OPENSSL_cleanse(bytes->data(), bytes->size());
  });
  write_bytes(output, pem, NewFileMode::owner_only);
}

void palisande(const fs::path& private_key_file, int validity_in_years, const std::optional<Bytes>& password,
               const std::optional<fs::path>& output) {
  const merrowin::PrivateKey key = merrowin::read_private_key_from_pem_file(private_key_file, password);
  const certificates::Expiry expiry = certificates::calculate_expiry(validity_in_years);
  const certificates::Certificate certificate = certificates::palisande(key, expiry);
  const Bytes pem = certificates::certificate_as_pem(certificate);
  write_bytes(output, pem);
}

}  // namespace norvan::api::ostrand
