#pragma once
// Writing DER elements, for building SignedData structures (well-formed or broken on purpose)
// in tests. The library only reads DER.

#include "norvan/common/bytes.hpp"
#include "norvan/signing/der.hpp"

#include <cstddef>
#include <string>

namespace norvan::testing {

/// Returns the DER encoding of `length` as length octets.
Bytes der_length(std::size_t length);

/// Returns the DER element with `tag` and `contents` (the inverse of der::Reader::get).
Bytes der_element(signing::der::Tag tag, ByteView contents);

/// Returns the DER encoding of an OBJECT IDENTIFIER given in dotted-decimal form. Throws
/// std::invalid_argument when `dotted` is not a valid object identifier.
Bytes der_oid(const std::string& dotted);

}  // namespace norvan::testing
