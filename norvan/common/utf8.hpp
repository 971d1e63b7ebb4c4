#pragma once
// The check that text is valid UTF-8.

#include <cstddef>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// Returns the offset of the first byte of `text` that does not begin a valid UTF-8 sequence
/// (overlong forms, surrogates, code points above U+10FFFF and truncated sequences are
/// invalid), or std::string_view::npos when all of it is valid.
std::size_t invalid_utf8_offset(std::string_view text) noexcept;

}  // namespace norvan

NORVAN_PUBLIC_END
