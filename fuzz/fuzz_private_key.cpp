// Fuzzes the PEM private-key loader, without and with a passphrase. The input is split: its
// first byte gives the passphrase length n, the next n bytes are the passphrase and the rest
// is the PEM text. The loader reports every bad key as KeyLoadError; anything else is a
// finding.

#include "norvan/signing/merrowin.hpp"

#include <algorithm>
#include <cstdint>

namespace {

void load(norvan::ByteView pem, const std::optional<norvan::Bytes>& password) {
  try {
    norvan::signing::merrowin::private_key_from_pem(pem, password);
  } catch (const norvan::signing::merrowin::KeyLoadError&) {
    // The expected outcome for most inputs.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t password_size = std::min<std::size_t>(data[0], size - 1);
  const norvan::Bytes password(data + 1, data + 1 + password_size);
  const norvan::ByteView pem(data + 1 + password_size, size - 1 - password_size);
  load(pem, std::nullopt);
  load(pem, password);
  return 0;
}
