// Verifying signed messages held in memory or in files.
#include "norvan/signing/mime.hpp"

#include "norvan/common/fd.hpp"
#include "norvan/common/openssl.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/temporary_file.hpp"
#include "norvan/signing/mime/line_source.hpp"
#include "norvan/signing/mime/line_ends.hpp"
#include "norvan/signing/mime/parsed_message.hpp"
#include "norvan/signing/mime/payload_part.hpp"
#include "norvan/signing/mime/reserved_bytes.hpp"
#include "norvan/signing/mime/rfc8551_verify.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
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

// The digest of the pieces given with the named algorithm, for telling whether a payload read
// again is the one verified.
class Fingerprint {
 public:
  explicit Fingerprint(const std::string& algorithm)
      : algorithm_(EVP_MD_fetch(nullptr, algorithm.c_str(), nullptr)), context_(EVP_MD_CTX_new()) {
    if (!algorithm_ || !context_ || EVP_DigestInit_ex(context_.get(), algorithm_.get(), nullptr) != 1) {
      ossl::throw_error("Cannot start a " + algorithm + " digest");
    }
  }
  void update(ByteView piece) {
    if (EVP_DigestUpdate(context_.get(), piece.data(), piece.size()) != 1) ossl::throw_error("Cannot digest the payload");
  }
  Bytes finish() {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1) ossl::throw_error("Cannot digest the payload");
    digest.resize(length);
    return digest;
  }

 private:
  ossl::UniquePtr<EVP_MD> algorithm_;
  ossl::UniquePtr<EVP_MD_CTX> context_;
};

// What is handed on of the payload once verified: the bytes exactly as verification read them,
// so that a change to the message file meanwhile cannot reach the sink. Held in memory while
// small, then (PayloadHandOff::verified_copy) in an unnamed temporary file that only this
// process can reach and that vanishes with it, or else (PayloadHandOff::read_again) not at all:
// the payload is read from the file again and must have the digest that verification computed
// of the bytes it checked, with the signer's digest algorithm: bytes with that digest are
// covered by the same signature.
class VerifiedCopy {
 public:
  explicit VerifiedCopy(PayloadHandOff hand_off) : hand_off_(hand_off) {}

  void append(ByteView piece) {
    if (read_again_) return;
    if (!spool_ && memory_.size() + piece.size() <= kInMemoryCopyLimit) {
      memory_.insert(memory_.end(), piece.begin(), piece.end());
      return;
    }
    if (hand_off_ == PayloadHandOff::read_again) {
      read_again_ = true;
      Bytes().swap(memory_);
      return;
    }
    if (!spool_) {
      spool_.emplace("the payload being verified");
      spool_->write(memory_);
      Bytes().swap(memory_);
    }
    spool_->write(piece);
  }

  // Hands the payload to `sink` in blocks; `again` reads it from the message again, which must
  // give bytes with the digest `verified`.
  void replay(const MessageSink& sink, brisvale::PayloadReader& again, const std::filesystem::path& message_file,
              const brisvale::PayloadDigest& verified) {
    Bytes buffer(kReadBlockSize);
    if (read_again_) {
      Fingerprint reread(verified.algorithm);
      while (const std::size_t count = again.read(buffer)) {
        const ByteView piece = ByteView(buffer).first(count);
        reread.update(piece);
        sink(piece);
      }
      if (reread.finish() != verified.value) {
        throw FileError("Message file '" + message_file.string() +
                            "' changed while it was verified: the payload read again is not the one verified",
                        message_file, std::make_error_code(std::errc::io_error));
      }
      return;
    }
    if (!spool_) {
      if (!memory_.empty()) sink(memory_);
      return;
    }
    spool_->rewind();
    while (const std::size_t count = spool_->read(buffer)) sink(ByteView(buffer).first(count));
  }

 private:
  PayloadHandOff hand_off_;
  Bytes memory_;
  std::optional<TemporaryFile> spool_;
  bool read_again_ = false;  // the payload is too large to copy: it is read from the file again
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

void check_options(const VerifyOptions& options) {
  if (options.body && !options.rfc8551) {
    throw Error(ErrorCode::invalid_argument, "Returning the body alone needs the RFC 8551 mode");
  }
}

Bytes verify_in_memory(ByteView message, const RecordSource& record, const VerifyOptions& options) {
  check_options(options);
  if (options.rfc8551) return verify_rfc8551(message, record, options);
  LineSource lines(message);
  const ParsedMessage parsed(lines);
  const FoundEntity& payload = parsed.payload();
  return parsed.verify(lf_line_ends(message.subspan(payload.body_start, payload.body_length)), record);
}

void verify_in_file(const std::filesystem::path& message_file, const RecordSource& record,
                    const MessageSink& payload_sink, const ProgressSink& progress, PayloadHandOff hand_off,
                    const VerifyOptions& options) {
  check_options(options);
  const FileDescriptor fd = open_message_file(message_file);
  LineSource lines(fd.get(), message_file);
  if (options.rfc8551) return verify_rfc8551(lines, record, options, payload_sink, progress);
  const ParsedMessage parsed(lines);
  VerifiedCopy copy(hand_off);
  PayloadPartReader reader(lines, parsed.payload(), [&copy](ByteView piece) { copy.append(piece); });
  brisvale::PayloadDigest verified;
  if (progress) {
    ReportingReader reporting(reader, progress);
    verified = parsed.verify(reporting, record);
  } else {
    verified = parsed.verify(reader, record);
  }
  // Verified: the bytes that were checked are handed on.
  PayloadPartReader again(lines, parsed.payload());
  copy.replay(payload_sink, again, message_file, verified);
}

}  // namespace

Bytes verify_message(ByteView message, const std::optional<std::vector<Bytes>>& certs,
                     const std::optional<std::filesystem::path>& systemCertsPath, const VerifyOptions& options) {
  return verify_in_memory(message, RecordSource(certs, systemCertsPath), options);
}

void verify_message_file(const std::filesystem::path& message_file, const std::optional<std::vector<Bytes>>& certs,
                         const std::optional<std::filesystem::path>& systemCertsPath, const MessageSink& payload_sink,
                         const ProgressSink& progress, PayloadHandOff hand_off, const VerifyOptions& options) {
  verify_in_file(message_file, RecordSource(certs, systemCertsPath), payload_sink, progress, hand_off, options);
}

Verifier::Verifier(const std::optional<std::vector<Bytes>>& certs,
                   const std::optional<std::filesystem::path>& systemCertsPath, const VerifyOptions& options)
    : record_(certs, systemCertsPath), options_(options) {}

Bytes Verifier::verify(ByteView message) const {
  return verify_in_memory(message, RecordSource(record_), options_);
}

void Verifier::verify_file(const std::filesystem::path& message_file, const MessageSink& payload_sink,
                           PayloadHandOff hand_off) const {
  verify_in_file(message_file, RecordSource(record_), payload_sink, {}, hand_off, options_);
}

Bytes verify_signed_smime(std::string_view smime_message, const std::vector<Bytes>& trusted_certs) {
  std::optional<std::vector<Bytes>> certs;
  if (!trusted_certs.empty()) certs = trusted_certs;
  return verify_message(as_bytes(smime_message), certs);
}

}  // namespace norvan::signing::mime
