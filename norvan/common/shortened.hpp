#pragma once
// Keeping names that come from input (certificate subjects, serial numbers) short in error texts.

#include <cstddef>
#include <string>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// How many bytes of a name an error text shows at most.
inline constexpr std::size_t kNameLimitInErrors = 256;

/// Returns `name` unchanged when it has at most `limit` bytes; otherwise its first `limit`
/// bytes (fewer when that would split a UTF-8 character) followed by "...", so that an error
/// line stays readable whatever the input held.
inline std::string shortened(std::string_view name, std::size_t limit = kNameLimitInErrors) {
  if (name.size() <= limit) return std::string(name);
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return std::string(name.substr(0, end)) + "...";
}

}  // namespace norvan

NORVAN_PUBLIC_END
