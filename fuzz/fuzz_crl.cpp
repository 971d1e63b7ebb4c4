// Fuzzes the reading of certificate revocation lists (PEM bundles or DER) for a verification
// policy. Every unreadable list is an InvalidRevocationListError; anything else is a finding.

#include "norvan/signing/brisvale.hpp"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    norvan::signing::brisvale::check_revocation_list({norvan::Bytes(data, data + size), "fuzz.crl"});
  } catch (const norvan::signing::brisvale::InvalidRevocationListError&) {
    // The expected outcome for most inputs.
  }
  return 0;
}
