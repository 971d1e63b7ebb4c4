#pragma once
// The text of a signed message around the payload: its header, the signature part and the
// boundary that separates them.

#include "norvan/common/bytes.hpp"

#include <string>

namespace norvan::signing::mime::detail {

/// A boundary of 128 random bits: it cannot occur in a payload by accident. Throws
/// ossl::OpenSSLError when no random bytes are available.
std::string random_boundary();

/// `der` in base64, 64 characters per line, lines separated (not ended) by CR LF.
std::string base64_lines(ByteView der);

/// The message header and the payload part's header, up to the first payload byte.
std::string message_header(const std::string& boundary);

/// The text that follows the payload: the signature part holding the SignedData `der` in
/// base64 and the close delimiter.
std::string message_trailer(const std::string& boundary, ByteView der);

}  // namespace norvan::signing::mime::detail
