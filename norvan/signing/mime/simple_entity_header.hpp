#pragma once
// Entity headers in the plain form that nearly every message uses, read without GMime: a
// Content-Type of "type/subtype" with token or plain quoted-string parameters, and a
// Content-Transfer-Encoding of one known token. The result is the one GMime gives for such
// fields; anything else is declined and left to GMime.

#include "norvan/signing/mime/entity_header.hpp"

#include <optional>
#include <string_view>

namespace norvan::signing::mime::detail {

// `fields`, `in_digest_type` and `in_digest_text` as for EntityHeaderReader::read. Declines
// (nullopt) fields other than one Content-Type and one Content-Transfer-Encoding at most, a
// field longer than a few kilobytes, 8-bit bytes and control characters, comments, escapes,
// encoded words, RFC 2231 parameters, a repeated or empty boundary parameter, white space
// around '/' and '=', message types other than message/rfc822, and transfer encodings other
// than 7bit, 8bit, binary, base64 and quoted-printable.
std::optional<EntityHeader> read_simple_entity_header(std::string_view fields, bool in_digest_type,
                                                      bool in_digest_text);

}  // namespace norvan::signing::mime::detail
