#pragma once
// Reading the parts of a SignedData that verification needs beyond SignedDataView.

#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/der.hpp"

#include <optional>
#include <string>

namespace norvan::signing::brisvale::detail {

/// Reads the AlgorithmIdentifier SEQUENCE at the front of `outer`. Throws
/// MalformedSignatureError naming `what`.
AlgorithmIdentifier read_algorithm(der::Reader& outer, const std::string& what);

/// Returns the value of the last message-digest attribute of the signed attributes element
/// `attributes_element` (DER or BER; a value in pieces is joined), or nullopt when there is
/// none. Throws MalformedSignatureError.
std::optional<Bytes> signed_message_digest(ByteView attributes_element);

}  // namespace norvan::signing::brisvale::detail
