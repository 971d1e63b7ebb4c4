// Fuzzes signed-message verification on the whole message text: MIME walk, transfer
// decoding, DER parsing, digest and signature checks and certificate validation against a
// fixed trust root; in the default format and in RFC 8551 mode (top-level structure,
// canonical entity, opaque SignedData content, the decoded text body). Errors that verification reports (std::runtime_error and its subclasses)
// are expected; anything else -- a crash, a sanitizer report, a logic_error or bad_alloc, a
// GLib critical warning -- is a finding.

#include "fuzz_support.hpp"
#include "norvan/signing/mime.hpp"

#include <glib.h>

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace {

const std::vector<norvan::Bytes>& trusted_certs() {
  static const std::vector<norvan::Bytes> certs{norvan::fuzz::read_data_file("root.pem")};
  return certs;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A critical warning means GMime or GLib was called wrongly: make it abort, so it counts.
  g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
  trusted_certs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  try {
    norvan::signing::mime::verify_signed_smime(message, trusted_certs());
  } catch (const std::runtime_error&) {
    // Verification errors, malformed signatures, OpenSSL errors: the expected outcomes.
  }
  for (const bool body : {false, true}) {
    norvan::signing::mime::VerifyOptions options;
    options.rfc8551 = true;
    options.body = body;
    try {
      norvan::signing::mime::verify_message(norvan::ByteView(data, size), trusted_certs(), std::nullopt, options);
    } catch (const std::runtime_error&) {
      // The same expected outcomes.
    }
  }
  return 0;
}
