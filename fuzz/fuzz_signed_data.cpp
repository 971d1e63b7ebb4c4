// Fuzzes brisvale::verify on raw DER bytes (and a record that also accepts signers named by key
// identifier): our DER reader, the SignedData walk, the digest
// and signature checks and certificate validation against a fixed trust root. The payload is
// fixed, so seeds signed over it get past the digest check. Errors that verification reports
// (std::runtime_error and its subclasses) are expected; anything else is a finding.

#include "fuzz_support.hpp"
#include "norvan/signing/brisvale.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

const std::optional<std::vector<norvan::Bytes>>& trusted_certs() {
  static const std::optional<std::vector<norvan::Bytes>> certs{
      std::vector<norvan::Bytes>{norvan::fuzz::read_data_file("root.pem")}};
  return certs;
}

// A record over the same root, for the reading that also accepts a signer named by subject key
// identifier (RFC 8551 mode).
const norvan::signing::brisvale::VerifyData& mail_record() {
  static const norvan::signing::brisvale::VerifyData record(trusted_certs());
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trusted_certs();
  mail_record();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    norvan::signing::brisvale::verify(norvan::ByteView(data, size), norvan::to_bytes(norvan::fuzz::kSignedPayload),
                                      trusted_certs());
  } catch (const std::runtime_error&) {
    // Verification errors, malformed signatures, OpenSSL errors: the expected outcomes.
  }
  try {
    mail_record().verify(norvan::ByteView(data, size), norvan::to_bytes(norvan::fuzz::kSignedPayload),
                         norvan::signing::brisvale::SignerIdentifiers::issuer_and_serial_or_key_id);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
