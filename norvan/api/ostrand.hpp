#pragma once
// The operations behind the key and certificate sub-commands, and their output routine.

#include "norvan/common/bytes.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/secret_bytes.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::api::ostrand {

/// The permission bits of a file that write_bytes writes (see norvan::FileMode).
using NewFileMode = FileMode;

/// Write bytes to file given by parameter output if output is not None.
/// Otherwise write bytes to stdout.
///
/// An existing regular file is replaced atomically (keeping its owner and mode); a failure
/// leaves it intact and no temporary file behind. Other targets (a pipe, a device,
/// /dev/stdout) are written in place. The guarantees are norvan::FileWriter's. Throws
/// FileError naming the path.
void write_bytes(const std::optional<std::filesystem::path>& output, ByteView content,
                 NewFileMode mode = NewFileMode::standard);

/// Returns the PEM that tarrowby writes: a new default private key, encrypted with `password`
/// when that is non-empty (wiped when the result goes, for it may be unencrypted).
SecretBytes tarrowby_pem(const std::optional<ByteView>& password);

/// Returns the PEM that palisande writes: a new certificate for the private key in
/// `private_key_file` (or the "pkcs11:" URI, as palisande), valid for `validity_in_years` years.
Bytes palisande_pem(const std::filesystem::path& private_key_file, int validity_in_years,
                    const std::optional<ByteView>& password,
                    const std::optional<std::filesystem::path>& pkcs11_module = std::nullopt);

/// Creates the default private key and writes it as PEM, encrypted with `password` when that
/// is non-empty (a passphrase held as SecretBytes is passed without a copy). The file ends with no group or other permission (a new one: 0600).
void tarrowby(const std::optional<std::filesystem::path>& output, const std::optional<ByteView>& password);

/// Loads the private key, creates a certificate for it valid for `validity_in_years` years
/// and writes the certificate as PEM. `private_key_file` may be a "pkcs11:" URI (RFC 7512) of
/// a key in a token, whose PIN is `password` and whose module is `pkcs11_module` (default:
/// p11-kit's proxy); see signing::pkcs11::load_private_key_file_or_uri.
void palisande(const std::filesystem::path& private_key_file, int validity_in_years,
               const std::optional<ByteView>& password, const std::optional<std::filesystem::path>& output,
               const std::optional<std::filesystem::path>& pkcs11_module = std::nullopt);

/// Returns the PEM that request writes, for the same arguments but the output.
Bytes request_pem(const std::filesystem::path& private_key_file, const std::optional<ByteView>& password,
                  const std::string& subject, const std::vector<std::string>& emails,
                  const std::vector<std::string>& dns_names,
                  const std::optional<std::filesystem::path>& pkcs11_module = std::nullopt);

/// Loads the private key (a PEM file or a "pkcs11:" URI, as palisande), makes a PKCS#10
/// certificate request for it (the `subject` in the
/// `openssl -subj` form, or empty; `emails` and `dns_names` as subjectAltName; keyUsage
/// digitalSignature requested; signed with SHA-256) and writes it as PEM. Throws
/// requests::RequestInputError naming a malformed subject piece or name, and what loading the
/// key throws; nothing is written then.
void request(const std::filesystem::path& private_key_file, const std::optional<ByteView>& password,
             const std::string& subject, const std::vector<std::string>& emails,
             const std::vector<std::string>& dns_names, const std::optional<std::filesystem::path>& output,
             const std::optional<std::filesystem::path>& pkcs11_module = std::nullopt);

}  // namespace norvan::api::ostrand

NORVAN_PUBLIC_END
