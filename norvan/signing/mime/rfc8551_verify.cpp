#include "norvan/signing/mime/rfc8551_verify.hpp"

#include "norvan/signing/mime/canonical.hpp"
#include "norvan/signing/mime/rfc8551_entity.hpp"
#include "norvan/signing/mime/transfer_decoding.hpp"

#include <utility>

namespace norvan::signing::mime::detail {
namespace {

Bytes read_signature(const LineSource& lines, const Rfc8551Message& found) {
  return decode_body(lines.read_range(found.signature.start, found.signature.length),
                     found.signature_encoding);
}

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
  // The canonical entity reaches the sink as it is digested: the caller discards what it got
  // unless this returns. The body is decoded from the whole entity, which is collected for it.
  Bytes entity;
  CanonicalReader reader(lines, found.signed_entity, [&](ByteView piece) {
    if (options.body) {
      entity.insert(entity.end(), piece.begin(), piece.end());
    } else if (!piece.empty()) {
      payload_sink(piece);
    }
    if (progress) progress(piece.size());
  });
  record.get().verify_streamed(signature, reader, kMailSigners);
  if (options.body) {
    const Bytes body = text_body(entity);
    if (!body.empty()) payload_sink(body);
  }
}

}  // namespace norvan::signing::mime::detail
