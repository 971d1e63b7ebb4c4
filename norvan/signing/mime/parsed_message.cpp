#include "norvan/signing/mime/parsed_message.hpp"

#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/line_aligned_stream.hpp"

#include <utility>

namespace norvan::signing::mime::detail {
namespace {

// The signature entity's body, decoded by its transfer encoding (base64, quoted-printable,
// uuencode; any other or none leaves the bytes as they are).
Bytes decoded_body(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return {};
  GObjectPtr<GMimeStream> decoded(g_mime_stream_mem_new());
  if (g_mime_data_wrapper_write_to_stream(content, decoded.get()) < 0) {
    throw MessageFormatError("Cannot decode the signature part of the message");
  }
  const GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(decoded.get()));
  return Bytes(array->data, array->data + array->len);
}

}  // namespace

// GMime's parser reads the message through a stream that keeps its reads to whole lines (see
// line_aligned_stream); the parser and the parts hold their own references to it.
ParsedMessage::ParsedMessage(GMimeStream* stream)
    : parser_(g_mime_parser_new_with_stream(line_aligned_stream(stream).get())) {
  // Part contents stay substreams of the message instead of being copied.
  g_mime_parser_set_persist_stream(parser_.get(), TRUE);
  // GMime yields nothing for text without a header; that text is one text/plain entity,
  // which holds no signature.
  root_.reset(g_mime_parser_construct_part(parser_.get(), nullptr));
  parts_ = root_ ? find_signed_parts(root_.get()) : SignedParts{};
  if (parts_.signature == nullptr) throw VerificationError("Could not find any signature");
  if (parts_.payload == nullptr) throw VerificationError("Unsupported payload \"None\" type <class 'NoneType'>");
}

const brisvale::VerifyData& RecordSource::get() const {
  if (shared_ != nullptr) return *shared_;
  if (!own_) own_.emplace(*certs_, *systemCertsPath_);
  return *own_;
}

Bytes ParsedMessage::verify(Bytes payload, const RecordSource& record) const {
  const Bytes signature = decoded_body(parts_.signature);
  return record.get().verify(signature, std::move(payload));
}

void ParsedMessage::verify(brisvale::PayloadReader& payload, const RecordSource& record) const {
  const Bytes signature = decoded_body(parts_.signature);
  record.get().verify_streamed(signature, payload);
}

}  // namespace norvan::signing::mime::detail
