// The `palisande` sub-command: create a certificate for a stored private key.
#include "norvan/api/ostrand.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"
#include "norvan/signing/certificates.hpp"

#include <memory>

namespace norvan::cli::commands::palisande {
namespace {

namespace api = api::ostrand;
namespace shared = _shared;

struct Options {
  std::filesystem::path private_key_file;
  int validity_in_years = signing::certificates::DEFAULT_EXPIRY_IN_YEARS;
  shared::PasswordInput password;
  std::optional<std::filesystem::path> output;
  std::optional<std::filesystem::path> pkcs11_module;
};

Action palisande(CLI::App& command) {
  auto options = std::make_shared<Options>();
  shared::private_key_file_option(command, options->private_key_file);
  shared::pkcs11_module_option(command, options->pkcs11_module);
  command.add_option("--validity-in-years", options->validity_in_years, "Validity of the certificate in years")
      ->type_name("YEARS")
      ->capture_default_str();
  shared::password_option(command, options->password);
  shared::output_option(command, options->output, "certificate.pem");
  return [options] {
    const std::optional<SecretBytes> password = options->password.resolve();
    api::palisande(/*private_key_file=*/options->private_key_file,
                   /*validity_in_years=*/options->validity_in_years,
                   /*password=*/password, /*output=*/options->output,
                   /*pkcs11_module=*/options->pkcs11_module);
  };
}

}  // namespace

// The command's own help lists only its usage and options; the summary appears in the
// program's list of commands.
NORVAN_CLI_COMMAND(palisande, "", "Create a self-signed certificate for a stored private key");

}  // namespace norvan::cli::commands::palisande
