// Fuzzes the parser of subject names in the `openssl -subj` form. Every malformed subject is
// a RequestInputError; anything else is a finding.

#include "norvan/signing/requests.hpp"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    (void)norvan::signing::requests::parse_subject(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const norvan::signing::requests::RequestInputError&) {
    // The expected outcome for most inputs.
  }
  return 0;
}
