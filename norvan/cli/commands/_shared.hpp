#pragma once
// Options shared by several sub-commands: output file, passphrase, private-key file.

#include "norvan/common/bytes.hpp"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace norvan::cli::commands::_shared {

/// A passphrase held in memory; its bytes are wiped (OPENSSL_cleanse) when it is destroyed.
class Passphrase {
 public:
  Passphrase() = default;
  explicit Passphrase(std::optional<Bytes> bytes) : bytes_(std::move(bytes)) {}
  Passphrase(Passphrase&& other) noexcept;
  Passphrase& operator=(Passphrase&& other) noexcept;
  Passphrase(const Passphrase&) = delete;
  Passphrase& operator=(const Passphrase&) = delete;
  ~Passphrase();

  /// The passphrase, or absent when none was asked for.
  const std::optional<Bytes>& get() const noexcept { return bytes_; }

 private:
  void wipe() noexcept;
  std::optional<Bytes> bytes_;
};

/// How a passphrase asked for on the terminal is confirmed.
enum class Confirmation { once, twice };

/// The state of a --password option after parsing.
struct PasswordInput {
  bool given = false;                  // --password appeared
  std::optional<std::string> value;    // its value, when one was given on the command line

  /// Returns the passphrase: the value given on the command line; when --password had no
  /// value, one read from the terminal with echo off (asked twice and compared when
  /// `confirmation` is twice), or one line of standard input when that is not a terminal;
  /// absent when --password was not given. Throws std::runtime_error when nothing can be
  /// read or the two entries differ.
  Passphrase resolve(Confirmation confirmation = Confirmation::once) const;
};

/// Adds `--output/-o FILE`: where to write; absent means standard output. `file_name` is the
/// example shown in the help ("private_key.pem", "certificate.pem").
CLI::Option* output_option(CLI::App& command, std::optional<std::filesystem::path>& output,
                           std::string_view file_name);

/// Adds `--password/-p [PASSPHRASE]` with `help` as its help text.
CLI::Option* password_option(CLI::App& command, PasswordInput& password,
                             std::string help = "Passphrase of the private key; without a value "
                                                "it is asked for on the terminal (or read as one "
                                                "line from standard input)");

/// Adds the required `--private-key-file/-k FILE`: the PEM private key to load.
CLI::Option* private_key_file_option(CLI::App& command, std::filesystem::path& private_key_file);

}  // namespace norvan::cli::commands::_shared
