#include "norvan/signing/mime/rfc8551_verify.hpp"

#include "norvan/common/temporary_file.hpp"
#include "norvan/signing/mime/canonical.hpp"
#include "norvan/signing/mime/rfc8551_entity.hpp"
#include "norvan/signing/mime/transfer_decoding.hpp"

#include <optional>
#include <utility>

namespace norvan::signing::mime::detail {
namespace {

constexpr std::size_t kInMemoryCopyLimit = 16 << 20;
constexpr std::size_t kReadBlockSize = 64 * 1024;

Bytes read_signature(const LineSource& lines, const Rfc8551Message& found) {
  return decode_body(lines.read_range(found.signature.start, found.signature.length),
                     found.signature_encoding);
}

// The bytes verification read, kept for handing on: in memory while small, then in an unnamed
// temporary file that vanishes with the process.
class EntityCopy {
 public:
  void append(ByteView piece) {
    if (!spool_ && memory_.size() + piece.size() <= kInMemoryCopyLimit) {
      memory_.insert(memory_.end(), piece.begin(), piece.end());
      return;
    }
    if (!spool_) {
      spool_.emplace("the signed entity being verified");
      spool_->write(memory_);
      Bytes().swap(memory_);
    }
    spool_->write(piece);
  }

  void replay(const MessageSink& sink) {
    if (!spool_) {
      if (!memory_.empty()) sink(memory_);
      return;
    }
    Bytes buffer(kReadBlockSize);
    spool_->rewind();
    while (const std::size_t count = spool_->read(buffer)) sink(ByteView(buffer).first(count));
  }

  Bytes take() {
    if (!spool_) return std::move(memory_);
    Bytes all;
    replay([&all](ByteView piece) { all.insert(all.end(), piece.begin(), piece.end()); });
    return all;
  }

 private:
  Bytes memory_;
  std::optional<TemporaryFile> spool_;
};

// Mail clients name the signer by issuer and serial number or by subject key identifier.
constexpr auto kMailSigners = brisvale::SignerIdentifiers::issuer_and_serial_or_key_id;

Bytes verify_opaque(Bytes signature, const RecordSource& record) {
  Bytes content = brisvale::encapsulated_content(brisvale::parse_signed_data(signature));
  return record.get().verify(signature, std::move(content), kMailSigners);
}

}  // namespace

Bytes verify_rfc8551(ByteView message, const RecordSource& record, const VerifyOptions& options) {
  LineSource lines(message);
  const Rfc8551Message found = locate_rfc8551(lines);
  Bytes signature = read_signature(lines, found);
  Bytes verified;
  if (found.form == Rfc8551Message::Form::opaque) {
    verified = verify_opaque(std::move(signature), record);
  } else {
    const ByteRange range = found.signed_entity;
    Bytes entity = canonical_line_ends(message.subspan(range.start, range.length));
    verified = record.get().verify(signature, std::move(entity), kMailSigners);
  }
  return options.body ? text_body(verified) : verified;
}

void verify_rfc8551(LineSource& lines, const RecordSource& record, const VerifyOptions& options,
                    const MessageSink& payload_sink, const ProgressSink& progress) {
  const Rfc8551Message found = locate_rfc8551(lines);
  Bytes signature = read_signature(lines, found);
  if (found.form == Rfc8551Message::Form::opaque) {
    const Bytes verified = verify_opaque(std::move(signature), record);
    if (progress) progress(verified.size());
    const Bytes out = options.body ? text_body(verified) : verified;
    if (!out.empty()) payload_sink(out);
    return;
  }
  EntityCopy copy;
  CanonicalReader reader(lines, found.signed_entity, [&](ByteView piece) {
    copy.append(piece);
    if (progress) progress(piece.size());
  });
  record.get().verify_streamed(signature, reader, kMailSigners);
  // Verified: the bytes that were checked are handed on.
  if (options.body) {
    const Bytes body = text_body(copy.take());
    if (!body.empty()) payload_sink(body);
    return;
  }
  copy.replay(payload_sink);
}

}  // namespace norvan::signing::mime::detail
