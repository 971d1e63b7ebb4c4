// The `sign` sub-command: sign a payload into an S/MIME clear-signed message.
#include "norvan/api/sign.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"

#include <memory>
#include <stdexcept>

namespace norvan::cli::commands::sign {
namespace {

namespace shared = _shared;

struct Options {
  std::filesystem::path certificate;
  std::filesystem::path private_key_file;
  shared::PasswordInput password;
  std::optional<std::filesystem::path> output;
  std::string payload = "-";
  bool quiet = false;
};

// A passphrase read from standard input (--password off a terminal, --password-fd 0) cannot
// share it with the payload.
void refuse_shared_stdin(const Options& options) {
  if (options.payload == "-" && options.password.reads_standard_input()) {
    throw std::runtime_error(
        "Both the passphrase and the payload would be read from standard input: give the "
        "passphrase with --password-file FILE or the payload as a file");
  }
}

Action sign(CLI::App& command) {
  auto options = std::make_shared<Options>();
  command.add_option("-c,--certificate", options->certificate, "PEM file holding the signer's X.509 certificate")
      ->type_name("FILE")
      ->required();
  shared::private_key_file_option(command, options->private_key_file);
  shared::password_option(command, options->password);
  shared::output_option(command, options->output, "signed_message.txt");
  command.add_option("payload", options->payload,
                     "File holding the payload to sign, signed byte for byte; '-' or none: "
                     "standard input. Only UTF-8 text with LF line ends verifies again")
      ->type_name("PAYLOAD");
  command.add_flag("-q,--quiet", options->quiet,
                   "Show no progress line (one is shown on a terminal for payloads over 64 MiB)");
  command.footer(
      "Writes a multipart/signed S/MIME message: the payload as a text/plain part and a "
      "detached PKCS#7 signature (SHA-256) by the certificate's key as the second part.");
  return [options] {
    refuse_shared_stdin(*options);
    const std::optional<SecretBytes> password = options->password.resolve();
    std::optional<std::filesystem::path> payload;
    if (options->payload != "-") payload = options->payload;
    api::sign(/*certificate=*/options->certificate, /*private_key_file=*/options->private_key_file,
              /*password=*/password, /*payload_file=*/payload, /*output=*/options->output,
              /*options=*/{}, /*progress=*/!options->quiet);
  };
}

}  // namespace

NORVAN_CLI_COMMAND(sign, "Sign a payload into an S/MIME clear-signed message");

}  // namespace norvan::cli::commands::sign
