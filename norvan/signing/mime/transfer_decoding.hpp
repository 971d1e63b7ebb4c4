#pragma once
// Decoding a body by its transfer encoding: the plain cases (no encoding, and base64 of whole
// groups in lines) directly, everything else with GMime.

#include "norvan/common/bytes.hpp"

#include <gmime/gmime.h>

#include <optional>

namespace norvan::signing::mime::detail {

// `body` decoded by `encoding`. Throws MessageFormatError when GMime cannot decode it.
Bytes decode_body(ByteView body, GMimeContentEncoding encoding);

// `body` decoded by GMime (base64, quoted-printable, uuencode; any other encoding or none
// leaves the bytes as they are).
Bytes decode_body_with_gmime(ByteView body, GMimeContentEncoding encoding);

// `body` decoded without GMime, exactly as GMime decodes it, when it is in a plain form: no
// encoding (default, 7bit, 8bit, binary), or base64 made only of the base64 alphabet and line
// ends (LF or CR LF) in groups of four, with padding only at its end. Otherwise nullopt.
std::optional<Bytes> decode_plain_body(ByteView body, GMimeContentEncoding encoding);

}  // namespace norvan::signing::mime::detail
