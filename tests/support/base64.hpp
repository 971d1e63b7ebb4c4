#pragma once
// Base64 text for building test messages.

#include "norvan/common/bytes.hpp"

#include <string>

namespace norvan::testing {

/// Returns `der` in base64 on one line, without line breaks.
std::string base64(ByteView der);

}  // namespace norvan::testing
