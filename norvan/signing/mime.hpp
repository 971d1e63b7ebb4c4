#pragma once
// The S/MIME clear-signed message format: signing a payload into a message and verifying a
// message back into its payload.

#include "norvan/common/bytes.hpp"
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/merrowin.hpp"

#include <string_view>
#include <vector>

namespace norvan::signing::mime {

using brisvale::VerificationError;

/// Returns the complete S/MIME message (CR LF line ends) whose second part is a detached
/// PKCS#7 SignedData over `payload`, made with SHA-256 by `private_key` (borrowed) for the
/// PEM `certificate`. Throws when the certificate is not PEM or signing fails.
Bytes sign_payload(ByteView certificate, const merrowin::PrivateKey& private_key, ByteView payload);

/// Returns the unsigned payload when verification succeeds; raises a VerificationError
/// otherwise. `smime_message` is the whole message text (UTF-8); `trusted_certs` are PEM or
/// DER certificates, an empty list meaning the system's trust store.
Bytes verify_signed_smime(std::string_view smime_message, const std::vector<Bytes>& trusted_certs = {});

}  // namespace norvan::signing::mime
