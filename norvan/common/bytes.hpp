#pragma once
// Byte strings as they cross every norvan interface.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// An owned byte string.
using Bytes = std::vector<std::uint8_t>;

/// A read-only view of bytes owned by someone else.
using ByteView = std::span<const std::uint8_t>;

/// Returns a copy of the characters of `text` as bytes.
inline Bytes to_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

/// Returns a view of `text`'s characters as bytes; `text` keeps ownership.
inline ByteView as_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// Returns a view of `bytes` as characters; `bytes` keeps ownership.
inline std::string_view as_text(ByteView bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace norvan

NORVAN_PUBLIC_END
