#pragma once
// Options shared by several sub-commands: output file, passphrase, private-key file.

#include "norvan/common/bytes.hpp"
#include "norvan/common/secret_bytes.hpp"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::cli::commands::_shared {

/// How a passphrase asked for on the terminal is confirmed.
enum class Confirmation { once, twice };

/// Where the passphrase comes from, as the options gave it; at most one source is set (the
/// parser refuses combinations).
struct PasswordInput {
  bool ask = false;                             // --password without a value
  std::optional<std::string> value;             // --password=VALUE, --password= or -pVALUE
  std::optional<std::filesystem::path> file;    // --password-file FILE
  std::optional<int> descriptor;                // --password-fd N

  /// Whether resolve() will read the passphrase from standard input.
  bool reads_standard_input() const;

  /// Returns the passphrase: the value given on the command line; the first line of the
  /// file; one line read from the descriptor; for --password without a value, one read from
  /// the terminal with echo off (asked twice and compared when `confirmation` is twice), or
  /// one line of standard input when that is not a terminal. Absent when no source was given.
  /// Throws std::runtime_error (FileError for the file) naming the source when nothing can be
  /// read, the line is too long or the two entries differ.
  /// The passphrase is wiped from memory when the SecretBytes go.
  std::optional<SecretBytes> resolve(Confirmation confirmation = Confirmation::once) const;
};

/// Adds `--output/-o FILE`: where to write; absent or '-' means standard output. `file_name`
/// is the example shown in the help ("private_key.pem", "certificate.pem").
CLI::Option* output_option(CLI::App& command, std::optional<std::filesystem::path>& output,
                           std::string_view file_name);

/// Adds the passphrase sources, which exclude each other: `--password[=PASSPHRASE]` (`help`
/// is its help text; without '=' it asks, `--password=` is the empty passphrase),
/// `-pPASSPHRASE`, `--password-file FILE` and `--password-fd N`. Returns the `--password`
/// option.
CLI::Option* password_option(CLI::App& command, PasswordInput& password,
                             std::string help = "Passphrase of the private key");

/// Adds the required `--private-key-file/-k FILE`: the PEM private key file or the pkcs11: URI
/// of a key in a token.
CLI::Option* private_key_file_option(CLI::App& command, std::filesystem::path& private_key_file);

/// Adds `--pkcs11-module PATH`: the PKCS#11 module of a pkcs11: key (absent: p11-kit's proxy).
CLI::Option* pkcs11_module_option(CLI::App& command, std::optional<std::filesystem::path>& module);

}  // namespace norvan::cli::commands::_shared

NORVAN_PUBLIC_END
