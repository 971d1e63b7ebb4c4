#pragma once
// The operations behind `norvan verify`: one signed message verified and its payload written,
// and many messages verified at once against trust roots gathered once.

#include "norvan/common/bytes.hpp"
#include "norvan/signing/mime.hpp"

#include <exception>
#include <filesystem>
#include <optional>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::api {

/// The trusted certificates of a verification. Without any (no bytes, no files, no
/// directory) the system's trust store applies.
struct TrustedCerts {
  std::optional<std::vector<Bytes>> trusted_certs;        // PEM or DER certificates
  std::vector<std::filesystem::path> trusted_cert_files;  // read and added after trusted_certs
  std::optional<std::filesystem::path> trusted_dir;       // its *.pem files

  /// The certificates given as bytes and those read from trusted_cert_files, or absent when
  /// there are neither. Throws FileError naming a file that cannot be read and
  /// brisvale::InvalidTrustedCertificate for one that holds no certificate, and FileError when
  /// trusted_dir is given but is no directory (a misspelt directory would silently trust
  /// nothing from it).
  std::optional<std::vector<Bytes>> gather() const;
};

/// Verifies the signed message in `message_file` (absent: standard input) against `trust` and
/// writes its payload to `output` (absent: standard output) through norvan::PendingOutput:
/// nothing reaches it unless the message verified. A message file is read once, in pieces; a
/// stream (standard input, a FIFO) is spooled as norvan::read_or_spool does. `progress` shows
/// a progress line on a terminal for messages over 64 MiB.
/// Throws what signing::mime::verify_message_file throws and what TrustedCerts::gather throws.
void verify(const std::optional<std::filesystem::path>& message_file, const TrustedCerts& trust,
            const std::optional<std::filesystem::path>& output, const signing::mime::VerifyOptions& options = {},
            bool progress = false);

/// The outcome of one message of a batch.
struct MessageOutcome {
  /// The payload, when the batch has no output directory and the message verified.
  std::optional<Bytes> payload;
  /// What the message throws when verified alone; empty when it verified.
  std::exception_ptr failure;
};

/// Verifies every message in `message_files` against `trust`, `jobs` at once (0: one per
/// processor this process may run on), each with the outcome it has alone. With `output_dir`,
/// each payload goes to the file named as its message without a final ".eml" in that directory,
/// put in place only once it verified, and flushed to disk before it gets its name; a signal
/// that would end the process ends it once no payload is half put in place. Without it, the
/// payloads come back in the outcomes. Outcomes are in the order of `message_files`.
/// Throws std::runtime_error, before any message is verified, when the output directory is
/// missing, no message is given, a message is "-" (standard input) or two messages would write
/// the same payload file. When the trusted certificates cannot be gathered, every message fails
/// with that error.
std::vector<MessageOutcome> verify_batch(const std::vector<std::filesystem::path>& message_files,
                                         const TrustedCerts& trust,
                                         const std::optional<std::filesystem::path>& output_dir, unsigned jobs = 0,
                                         const signing::mime::VerifyOptions& options = {});

}  // namespace norvan::api

NORVAN_PUBLIC_END
