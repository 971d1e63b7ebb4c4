// Fuzzes the RFC 3339 time parser. Every malformed time is a TimeFormatError; anything else
// (a crash, an overflow UndefinedBehaviorSanitizer sees) is a finding.

#include "norvan/common/rfc3339.hpp"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    (void)norvan::format_rfc3339(norvan::parse_rfc3339(std::string_view(reinterpret_cast<const char*>(data), size)));
  } catch (const norvan::TimeFormatError&) {
    // The expected outcome for most inputs.
  }
  return 0;
}
