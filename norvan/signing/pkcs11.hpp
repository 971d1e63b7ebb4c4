#pragma once
// Private keys held in a PKCS#11 token (a smart card, an HSM, SoftHSM), named by an RFC 7512
// "pkcs11:" URI and used through libp11: the key never leaves the token, its signatures are
// made there.

#include "norvan/common/bytes.hpp"
#include "norvan/common/error.hpp"
#include "norvan/signing/merrowin.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::signing::pkcs11 {

/// The PKCS#11 module used when none is given: p11-kit's proxy, which offers every module
/// registered with p11-kit.
inline constexpr std::string_view DEFAULT_MODULE = "p11-kit-proxy.so";

/// A token key that cannot be used: the URI is malformed, the module cannot be loaded, no
/// token or key matches, or the PIN is missing or refused. The text says which, in one line.
class TokenError : public Error {
 public:
  explicit TokenError(const std::string& what) : Error(ErrorCode::token, what) {}
};

/// Whether `location` names a key in a token (starts with "pkcs11:", case-insensitively) rather
/// than a key file.
bool is_pkcs11_uri(std::string_view location);

/// Returns the private key that the RFC 7512 URI `uri` names, as a PrivateKey whose signing
/// operations run in the token (the private value is never read). Path attributes matched:
/// token, manufacturer, model, serial, slot-id, slot-description, slot-manufacturer,
/// library-manufacturer, library-description, object (the key's label), id, type (only
/// "private"). Query attributes: pin-value, module-path. The module: `module` when given, else
/// the URI's module-path, else DEFAULT_MODULE. The PIN: `pin` when given, else the URI's
/// pin-value; never asked for. Exactly one private key must match. Throws TokenError.
///
/// A module, once loaded, stays loaded until the process ends (finalising it would end the
/// sessions of every other key from it); its slots are listed when it is loaded, so a token
/// inserted later is seen by the next process. A token stays logged in while a key from it lives;
/// meanwhile a second key from it is found without checking the PIN again, as PKCS#11 logins
/// hold for the whole process.
merrowin::PrivateKey load_private_key(std::string_view uri, const std::optional<ByteView>& pin = std::nullopt,
                                      const std::optional<std::filesystem::path>& module = std::nullopt);

/// Returns the key at `file_or_uri`: from the token when it is a "pkcs11:" URI (with
/// `password` as the PIN and `module` as the PKCS#11 module), else from the PEM file
/// (read_private_key_from_pem_file with `password`). Throws what those throw.
merrowin::PrivateKey load_private_key_file_or_uri(const std::filesystem::path& file_or_uri,
                                                  const std::optional<ByteView>& password = std::nullopt,
                                                  const std::optional<std::filesystem::path>& module = std::nullopt);

}  // namespace norvan::signing::pkcs11

NORVAN_PUBLIC_END
