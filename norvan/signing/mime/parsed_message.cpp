#include "norvan/signing/mime/parsed_message.hpp"

#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/gmime.hpp"

#include <utility>

namespace norvan::signing::mime::detail {
namespace {

// `body` decoded by its transfer encoding with GMime (base64, quoted-printable, uuencode; any
// other or none leaves the bytes as they are).
Bytes decoded(ByteView body, GMimeContentEncoding encoding) {
  if (body.empty()) return {};
  const GMimeApi& api = gmime();
  GObjectPtr<GMimeStream> raw(api.stream_mem_new_with_buffer(reinterpret_cast<const char*>(body.data()), body.size()));
  GObjectPtr<GMimeDataWrapper> content(api.data_wrapper_new_with_stream(raw.get(), encoding));
  GObjectPtr<GMimeStream> result(api.stream_mem_new());
  if (api.data_wrapper_write_to_stream(content.get(), result.get()) < 0) {
    throw MessageFormatError("Cannot decode the signature part of the message");
  }
  const GByteArray* array = api.stream_mem_get_byte_array(reinterpret_cast<GMimeStreamMem*>(result.get()));
  return Bytes(array->data, array->data + array->len);
}

}  // namespace

ParsedMessage::ParsedMessage(LineSource& lines) : lines_(lines), entities_(scan_signed_entities(lines)) {
  if (!entities_.signature.found) throw VerificationError("Could not find any signature");
  if (!entities_.payload.found) throw VerificationError("Unsupported payload \"None\" type <class 'NoneType'>");
}

const brisvale::VerifyData& RecordSource::get() const {
  if (shared_ != nullptr) return *shared_;
  if (!own_) own_.emplace(*certs_, *systemCertsPath_);
  return *own_;
}

Bytes ParsedMessage::signature() const {
  const FoundEntity& entity = entities_.signature;
  return decoded(lines_.read_range(entity.body_start, entity.body_length), entity.encoding);
}

Bytes ParsedMessage::verify(Bytes payload, const RecordSource& record) const {
  return record.get().verify(signature(), std::move(payload));
}

void ParsedMessage::verify(brisvale::PayloadReader& payload, const RecordSource& record) const {
  record.get().verify_streamed(signature(), payload);
}

}  // namespace norvan::signing::mime::detail
