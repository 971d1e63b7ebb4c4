#pragma once
// The operations behind the key and certificate sub-commands, and their output routine.

#include "norvan/common/bytes.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/secret_bytes.hpp"

#include <filesystem>
#include <optional>

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
SecretBytes tarrowby_pem(const std::optional<Bytes>& password);

/// Returns the PEM that palisande writes: a new certificate for the private key in
/// `private_key_file`, valid for `validity_in_years` years.
Bytes palisande_pem(const std::filesystem::path& private_key_file, int validity_in_years,
                    const std::optional<Bytes>& password);

/// Creates the default private key and writes it as PEM, encrypted with `password` when that
/// is non-empty. The file ends with no group or other permission (a new one: 0600).
void tarrowby(const std::optional<std::filesystem::path>& output, const std::optional<Bytes>& password);

/// Loads the private key, creates a certificate for it valid for `validity_in_years` years
/// and writes the certificate as PEM.
void palisande(const std::filesystem::path& private_key_file, int validity_in_years,
               const std::optional<Bytes>& password, const std::optional<std::filesystem::path>& output);

}  // namespace norvan::api::ostrand
