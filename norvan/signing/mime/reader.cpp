// Verifying signed messages held in memory or in files.
#include "norvan/signing/mime.hpp"

#include "norvan/common/files.hpp"
#include "norvan/signing/mime/gmime.hpp"
#include "norvan/signing/mime/line_ends.hpp"
#include "norvan/signing/mime/parsed_message.hpp"
#include "norvan/signing/mime/payload_part.hpp"
#include "norvan/signing/mime/reserved_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace norvan::signing::mime {
namespace {

using namespace detail;

// The payload of a message file is read and handed on in blocks of this size.
constexpr std::size_t kReadBlockSize = 64 * 1024;

// Returns `body` with every CR LF turned into LF (a lone CR or LF stays), copied once into a
// byte string reserved at the body's size.
Bytes lf_line_ends(ByteView body) {
  Bytes payload = reserved_bytes(body.size());
  append_with_lf_line_ends(body, payload);
  return payload;
}

// What identifies the contents of an open file: it changed when any of these did.
struct FileVersion {
  dev_t device;
  ino_t inode;
  off_t size;
  timespec modified;
  timespec changed;

  static FileVersion of(int fd, const std::filesystem::path& path) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw_file_error("Cannot read message file", path, errno);
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  }
  bool operator==(const FileVersion& other) const noexcept {
    return device == other.device && inode == other.inode && size == other.size && same(modified, other.modified) &&
           same(changed, other.changed);
  }
  static bool same(const timespec& a, const timespec& b) noexcept { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }
};

// Opens `path` as a GMime stream that owns the descriptor. Throws FileError when it cannot be
// opened or is not a regular file (the message is read twice, so it must be seekable).
GObjectPtr<GMimeStream> open_message_file(const std::filesystem::path& path, FileVersion& version) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_file_error("Cannot read message file", path, errno);
  GObjectPtr<GMimeStream> stream(g_mime_stream_fs_new(fd));
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw_file_error("Cannot read message file", path, errno);
  if (S_ISDIR(info.st_mode)) throw_file_error("Cannot read message file", path, EISDIR);
  if (!S_ISREG(info.st_mode)) {
    throw FileError("Cannot read message file '" + path.string() + "' in pieces: it is not a regular file", path,
                    std::make_error_code(std::errc::invalid_argument));
  }
  version = FileVersion::of(fd, path);
  return stream;
}

Bytes verify_in_memory(ByteView message, const RecordSource& record) {
  initialise_gmime();
  BorrowedStream stream(message);
  const ParsedMessage parsed(stream.get());
  if (const std::optional<ByteView> body = body_in_place(parsed.payload(), message)) {
    return parsed.verify(lf_line_ends(*body), record);
  }
  Bytes payload;
  PayloadPartReader reader(parsed.payload(), &payload);
  payload.reserve(reader.raw_length());
  parsed.verify(reader, record);
  return payload;
}

void verify_in_file(const std::filesystem::path& message_file, const RecordSource& record,
                    const MessageSink& payload_sink) {
  initialise_gmime();
  FileVersion before{};
  const GObjectPtr<GMimeStream> stream = open_message_file(message_file, before);
  const ParsedMessage parsed(stream.get());
  PayloadPartReader reader(parsed.payload(), nullptr);
  parsed.verify(reader, record);

  // Verified: the payload is read again from the file and handed on.
  reader.rewind();
  Bytes buffer(kReadBlockSize);
  while (const std::size_t count = reader.read(buffer)) payload_sink(ByteView(buffer).first(count));
  // Bytes that changed after they were checked must not pass as verified.
  if (!(FileVersion::of(GMIME_STREAM_FS(stream.get())->fd, message_file) == before)) {
    throw MessageFormatError("The message file '" + message_file.string() +
                             "' changed while it was being verified; its payload cannot be trusted");
  }
}

}  // namespace

Bytes verify_message(ByteView message, const std::optional<std::vector<Bytes>>& certs,
                     const std::optional<std::filesystem::path>& systemCertsPath) {
  return verify_in_memory(message, RecordSource(certs, systemCertsPath));
}

void verify_message_file(const std::filesystem::path& message_file, const std::optional<std::vector<Bytes>>& certs,
                         const std::optional<std::filesystem::path>& systemCertsPath, const MessageSink& payload_sink) {
  verify_in_file(message_file, RecordSource(certs, systemCertsPath), payload_sink);
}

Verifier::Verifier(const std::optional<std::vector<Bytes>>& certs,
                   const std::optional<std::filesystem::path>& systemCertsPath)
    : record_(certs, systemCertsPath) {}

Bytes Verifier::verify(ByteView message) const { return verify_in_memory(message, RecordSource(record_)); }

void Verifier::verify_file(const std::filesystem::path& message_file, const MessageSink& payload_sink) const {
  verify_in_file(message_file, RecordSource(record_), payload_sink);
}

Bytes verify_signed_smime(std::string_view smime_message, const std::vector<Bytes>& trusted_certs) {
  std::optional<std::vector<Bytes>> certs;
  if (!trusted_certs.empty()) certs = trusted_certs;
  return verify_message(as_bytes(smime_message), certs);
}

}  // namespace norvan::signing::mime
