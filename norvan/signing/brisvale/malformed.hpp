#pragma once
// The errors of signature data that is not what it should be, naming the element and the
// byte offset where the DER reader stopped.

#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/der.hpp"

#include <string>
#include <string_view>

namespace norvan::signing::brisvale::detail {

[[noreturn]] inline void malformed(const std::string& text) {
  throw MalformedSignatureError("Malformed signature: " + text);
}

// Throws MalformedSignatureError describing the failure that `reader` recorded for `what`.
inline void need(bool ok, const der::Reader& reader, std::string_view what) {
  if (ok) return;
  malformed(std::string(what) + " " + der::describe(reader.error()) + " at byte " +
            std::to_string(reader.error_offset()));
}

}  // namespace norvan::signing::brisvale::detail
