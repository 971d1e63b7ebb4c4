#pragma once
// Bytes written as hexadecimal digits.

#include "norvan/common/bytes.hpp"

#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// Returns `bytes` as lower-case hexadecimal, two digits per byte ("" for none).
std::string to_hex(ByteView bytes);

}  // namespace norvan

NORVAN_PUBLIC_END
