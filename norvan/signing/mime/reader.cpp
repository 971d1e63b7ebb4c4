// Verifying signed messages held in memory or in files.
#include "norvan/signing/mime.hpp"

#include "norvan/common/fd.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/temporary_file.hpp"
#include "norvan/signing/mime/line_source.hpp"
#include "norvan/signing/mime/line_ends.hpp"
#include "norvan/signing/mime/parsed_message.hpp"
#include "norvan/signing/mime/payload_part.hpp"
#include "norvan/signing/mime/reserved_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
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

// Payloads of a message file up to this size are copied to memory while they are verified;
// larger ones to an unnamed temporary file.
constexpr std::size_t kInMemoryCopyLimit = 16 << 20;

// A private copy of the payload bytes exactly as verification read them, so that what is
// handed on afterwards is what was verified, whatever happens to the message file meanwhile.
// Held in memory while small, then in an unnamed temporary file that only this process can
// reach and that vanishes with it.
class VerifiedCopy {
 public:
  void append(ByteView piece) {
    if (!spool_ && memory_.size() + piece.size() <= kInMemoryCopyLimit) {
      memory_.insert(memory_.end(), piece.begin(), piece.end());
      return;
    }
    if (!spool_) {
      spool_.emplace("the payload being verified");
      spool_->write(memory_);
      Bytes().swap(memory_);
    }
    spool_->write(piece);
  }

  // Hands the copy to `sink` in blocks.
  void replay(const MessageSink& sink) {
    if (!spool_) {
      if (!memory_.empty()) sink(memory_);
      return;
    }
    spool_->rewind();
    Bytes buffer(kReadBlockSize);
    while (const std::size_t count = spool_->read(buffer)) sink(ByteView(buffer).first(count));
  }

 private:
  Bytes memory_;
  std::optional<TemporaryFile> spool_;
};

// Opens `path` for reading. Throws FileError when it cannot be opened or is not a regular
// file (the message is read twice, so it must be seekable).
FileDescriptor open_message_file(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw_file_error("Cannot read message file", path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw_file_error("Cannot read message file", path, errno);
  if (S_ISDIR(info.st_mode)) throw_file_error("Cannot read message file", path, EISDIR);
  if (!S_ISREG(info.st_mode)) {
    throw FileError("Cannot read message file '" + path.string() + "' in pieces: it is not a regular file", path,
                    std::make_error_code(std::errc::invalid_argument));
  }
  return fd;
}

// Passes reads through and reports the size of each piece to `progress`.
class ReportingReader final : public brisvale::PayloadReader {
 public:
  ReportingReader(brisvale::PayloadReader& inner, const ProgressSink& progress) : inner_(inner), progress_(progress) {}
  std::size_t read(std::span<std::uint8_t> buffer) override {
    const std::size_t count = inner_.read(buffer);
    if (count > 0) progress_(count);
    return count;
  }

 private:
  brisvale::PayloadReader& inner_;
  const ProgressSink& progress_;
};

Bytes verify_in_memory(ByteView message, const RecordSource& record) {
  LineSource lines(message);
  const ParsedMessage parsed(lines);
  const FoundEntity& payload = parsed.payload();
  return parsed.verify(lf_line_ends(message.subspan(payload.body_start, payload.body_length)), record);
}

void verify_in_file(const std::filesystem::path& message_file, const RecordSource& record,
                    const MessageSink& payload_sink, const ProgressSink& progress) {
  const FileDescriptor fd = open_message_file(message_file);
  LineSource lines(fd.get(), message_file);
  const ParsedMessage parsed(lines);
  VerifiedCopy copy;
  PayloadPartReader reader(lines, parsed.payload(), [&copy](ByteView piece) { copy.append(piece); });
  if (progress) {
    ReportingReader reporting(reader, progress);
    parsed.verify(reporting, record);
  } else {
    parsed.verify(reader, record);
  }
  // Verified: exactly the bytes that were checked are handed on, never the file read again.
  copy.replay(payload_sink);
}

}  // namespace

Bytes verify_message(ByteView message, const std::optional<std::vector<Bytes>>& certs,
                     const std::optional<std::filesystem::path>& systemCertsPath) {
  return verify_in_memory(message, RecordSource(certs, systemCertsPath));
}

void verify_message_file(const std::filesystem::path& message_file, const std::optional<std::vector<Bytes>>& certs,
                         const std::optional<std::filesystem::path>& systemCertsPath, const MessageSink& payload_sink,
                         const ProgressSink& progress) {
  verify_in_file(message_file, RecordSource(certs, systemCertsPath), payload_sink, progress);
}

Verifier::Verifier(const std::optional<std::vector<Bytes>>& certs,
                   const std::optional<std::filesystem::path>& systemCertsPath)
    : record_(certs, systemCertsPath) {}

Bytes Verifier::verify(ByteView message) const { return verify_in_memory(message, RecordSource(record_)); }

void Verifier::verify_file(const std::filesystem::path& message_file, const MessageSink& payload_sink) const {
  verify_in_file(message_file, RecordSource(record_), payload_sink, {});
}

Bytes verify_signed_smime(std::string_view smime_message, const std::vector<Bytes>& trusted_certs) {
  std::optional<std::vector<Bytes>> certs;
  if (!trusted_certs.empty()) certs = trusted_certs;
  return verify_message(as_bytes(smime_message), certs);
}

}  // namespace norvan::signing::mime
