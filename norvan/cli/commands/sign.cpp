// The `sign` sub-command: sign a payload into an S/MIME clear-signed message.
#include "norvan/api/ostrand.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/mime.hpp"

#include <memory>
#include <stdexcept>
#include <unistd.h>

namespace norvan::cli::commands::sign {
namespace {

namespace shared = _shared;
namespace mime = signing::mime;
namespace merrowin = signing::merrowin;

struct Options {
  std::filesystem::path certificate;
  std::filesystem::path private_key_file;
  shared::PasswordInput password;
  std::optional<std::filesystem::path> output;
  std::string payload = "-";
};

bool payload_from_stdin(const Options& options) { return options.payload == "-"; }

// A passphrase given as --password without a value is read from standard input when that is
// not a terminal; it cannot also carry the payload.
void refuse_shared_stdin(const Options& options) {
  if (options.password.given && !options.password.value && payload_from_stdin(options) &&
      ::isatty(STDIN_FILENO) == 0) {
    throw std::runtime_error(
        "Both the passphrase and the payload would be read from standard input: give the "
        "passphrase as --password=PASSPHRASE or the payload as a file");
  }
}

Bytes read_payload(const Options& options) {
  if (payload_from_stdin(options)) return read_standard_input("the payload");
  return read_file(options.payload, "payload file");
}

void run(const Options& options) {
  refuse_shared_stdin(options);
  const shared::Passphrase password = options.password.resolve();
  // The key and the certificate first: a wrong passphrase or file fails before the payload
  // is read.
  const merrowin::PrivateKey key = merrowin::read_private_key_from_pem_file(options.private_key_file, password.get());
  const Bytes certificate = read_file(options.certificate, "certificate file");
  const Bytes payload = read_payload(options);
  const Bytes message = mime::sign_payload(certificate, key, payload);
  api::ostrand::write_bytes(options.output, message);
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
  command.footer(
      "Writes a multipart/signed S/MIME message: the payload as a text/plain part and a "
      "detached PKCS#7 signature (SHA-256) by the certificate's key as the second part.");
  return [options] { return report_errors([&] { run(*options); }); };
}

}  // namespace

NORVAN_CLI_COMMAND(sign, "Sign a payload into an S/MIME clear-signed message");

}  // namespace norvan::cli::commands::sign
