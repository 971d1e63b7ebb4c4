#pragma once
// The operations behind the key and certificate sub-commands, and their output routine.

#include "norvan/common/bytes.hpp"

#include <filesystem>
#include <optional>

namespace norvan::api::ostrand {

/// The permission bits of a file that write_bytes creates.
enum class NewFileMode {
  process_default,  // 0666 less the umask
  owner_only,       // 0600: for private keys
};

/// Write bytes to file given by parameter output if output is not None.
/// Otherwise write bytes to stdout.
///
/// An existing regular file is replaced atomically (temporary file in the same directory,
/// flushed, renamed over it, its permission bits kept); a failure leaves it intact and no
/// temporary file behind. Other targets (a pipe, /dev/stdout) are written directly. Throws
/// FileError naming the path.
void write_bytes(const std::optional<std::filesystem::path>& output, ByteView content,
                 NewFileMode mode = NewFileMode::process_default);

/// Creates the default private key and writes it as PEM, encrypted with `password` when that
/// is non-empty. A new output file gets mode 0600.
void tarrowby(const std::optional<std::filesystem::path>& output, const std::optional<Bytes>& password);

/// Loads the private key, creates a certificate for it valid for `validity_in_years` years
/// and writes the certificate as PEM.
void palisande(const std::filesystem::path& private_key_file, int validity_in_years,
               const std::optional<Bytes>& password, const std::optional<std::filesystem::path>& output);

}  // namespace norvan::api::ostrand
