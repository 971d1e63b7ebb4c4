#pragma once
// The operation behind `norvan sign`: a payload from a file or standard input signed into an
// S/MIME clear-signed message written to a file or standard output.

#include "norvan/common/bytes.hpp"
#include "norvan/signing/mime.hpp"

#include <filesystem>
#include <optional>
#include <variant>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::api {

/// The signer's certificate: the file that holds it, or its PEM bytes.
using CertificateSource = std::variant<std::filesystem::path, Bytes>;

/// Signs the payload in `payload_file` (absent: standard input), read in pieces and signed byte
/// for byte, with `certificate` and the key in `private_key_file`
/// (decrypted with `password`), and writes the message to `output` (absent: standard output)
/// through norvan::FileWriter: a new file appears only complete, when everything succeeded.
/// The key and the certificate are loaded before the payload is read; a key whose signatures
/// would not verify is refused before anything reaches an output written in place.
/// `progress` shows a progress line on a terminal for payloads over 64 MiB.
/// `private_key_file` may be a "pkcs11:" URI (RFC 7512) of a key in a token, whose PIN is
/// `password` and whose module is `pkcs11_module` (default: p11-kit's proxy); see
/// signing::pkcs11::load_private_key_file_or_uri. Such a key signs inside the token.
/// Throws FileError naming the file that cannot be read or written, KeyLoadError, and
/// ossl::OpenSSLError when the certificate does not fit the key or signing fails, and
/// pkcs11::TokenError when a token key cannot be used.
void sign(const CertificateSource& certificate, const std::filesystem::path& private_key_file,
          const std::optional<ByteView>& password, const std::optional<std::filesystem::path>& payload_file,
          const std::optional<std::filesystem::path>& output, const signing::mime::SignOptions& options = {},
          bool progress = false, const std::optional<std::filesystem::path>& pkcs11_module = std::nullopt);

}  // namespace norvan::api

NORVAN_PUBLIC_END
