// The `sign` sub-command: sign a payload into an S/MIME clear-signed message.
#include "norvan/api/sign.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/certificates.hpp"

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
  std::optional<std::filesystem::path> chain;
  std::optional<std::filesystem::path> pkcs11_module;
  bool rfc8551 = false;
  bool entity = false;
  bool opaque = false;
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

// The signing options the flags ask for; the chain file is read and checked here, so that a file
// holding anything but certificates is refused before anything is written.
signing::mime::SignOptions signing_options(const Options& options) {
  signing::mime::SignOptions sign;
  if (options.chain) {
    const std::string source = "chain file '" + options.chain->string() + "'";
    sign.chain = signing::certificates::read_certificate_chain_pem(read_file(*options.chain, "chain file"), source);
  }
  sign.rfc8551 = options.rfc8551;
  sign.entity = options.entity;
  sign.opaque = options.opaque;
  return sign;
}

Action sign(CLI::App& command) {
  auto options = std::make_shared<Options>();
  command.add_option("-c,--certificate", options->certificate, "PEM file holding the signer's X.509 certificate")
      ->type_name("FILE")
      ->required();
  shared::private_key_file_option(command, options->private_key_file);
  shared::pkcs11_module_option(command, options->pkcs11_module);
  command.add_option("--chain", options->chain,
                     "PEM file of intermediate certificates, put into the signature after the signer's "
                     "certificate in file order, so that verifiers trusting only the root can build the path")
      ->type_name("FILE");
  CLI::Option* rfc8551 = command.add_flag(
      "--rfc8551", options->rfc8551,
      "Sign as mail clients do (RFC 8551): the signature covers the payload as a canonical MIME entity "
      "(a UTF-8 text payload becomes a text/plain; charset=utf-8 part), which Thunderbird, Outlook and "
      "openssl smime verify; verify it with 'norvan verify --rfc8551'");
  command.add_flag("--entity", options->entity,
                   "With --rfc8551: the payload is a MIME entity already (header fields, blank line, body), "
                   "for example a multipart/mixed with attachments; it is signed as given, with CR LF line ends")
      ->needs(rfc8551);
  command.add_flag("--opaque", options->opaque,
                   "With --rfc8551: write application/pkcs7-mime (smime-type=signed-data) with the entity "
                   "inside the signature instead of a clear-signed multipart/signed")
      ->needs(rfc8551);
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
      "detached PKCS#7 signature (SHA-256) by the certificate's key as the second part. With --rfc8551 "
      "the message is one that mail clients read (see --rfc8551). A -k pkcs11: URI signs inside the "
      "token: its PIN is given with --password, --password-file or --password-fd.");
  return [options] {
    refuse_shared_stdin(*options);
    const signing::mime::SignOptions sign_options = signing_options(*options);
    const std::optional<SecretBytes> password = options->password.resolve();
    std::optional<std::filesystem::path> payload;
    if (options->payload != "-") payload = options->payload;
    api::sign(/*certificate=*/options->certificate, /*private_key_file=*/options->private_key_file,
              /*password=*/password, /*payload_file=*/payload, /*output=*/options->output,
              /*options=*/sign_options, /*progress=*/!options->quiet, /*pkcs11_module=*/options->pkcs11_module);
  };
}

}  // namespace

NORVAN_CLI_COMMAND(sign, "Sign a payload into an S/MIME clear-signed message");

}  // namespace norvan::cli::commands::sign
