#include "norvan/signing/mime/parsed_message.hpp"

#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/transfer_decoding.hpp"

#include <utility>

namespace norvan::signing::mime::detail {

ParsedMessage::ParsedMessage(LineSource& lines) : lines_(lines), entities_(scan_signed_entities(lines)) {
  if (!entities_.signature.found) throw VerificationError("Could not find any signature");
  if (!entities_.payload.found) throw VerificationError("Unsupported payload \"None\" type <class 'NoneType'>");
}

const brisvale::VerifyData& RecordSource::get() const {
  if (shared_ != nullptr) return *shared_;
  if (!own_) own_.emplace(*trusted_certs_, *trusted_dir_, *policy_);
  return *own_;
}

Bytes ParsedMessage::signature() const {
  const FoundEntity& entity = entities_.signature;
  return decode_body(lines_.read_range(entity.body_start, entity.body_length), entity.encoding);
}

Bytes ParsedMessage::verify(Bytes payload, const RecordSource& record) const {
  return record.get().verify(signature(), std::move(payload));
}

brisvale::PayloadDigest ParsedMessage::verify(brisvale::PayloadReader& payload, const RecordSource& record) const {
  return record.get().verify_streamed(signature(), payload);
}

}  // namespace norvan::signing::mime::detail
