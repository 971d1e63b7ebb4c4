#pragma once
// The trust roots of a verification: trusted certificates given as bytes or found in a
// directory, or the system's trust store.

#include "norvan/signing/brisvale.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace norvan::signing::brisvale::detail {

/// Returns the certificate whose DER encoding is exactly `der_bytes` (no trailing bytes),
/// with OpenSSL's cached extension data already computed; null when it is not one. Leaves
/// OpenSSL's reason on its error queue.
Certificate parse_certificate(ByteView der_bytes);

/// Builds the trust roots as VerifyData's constructor describes.
std::shared_ptr<const ValidationContext> build_context(const std::optional<std::vector<Bytes>>& trusted,
                                                       const std::optional<std::filesystem::path>& directory);

}  // namespace norvan::signing::brisvale::detail
