// The `request` sub-command: make a certificate request (PKCS#10) for a stored private key.
#include "norvan/api/ostrand.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"

#include <memory>
#include <string>
#include <vector>

namespace norvan::cli::commands::request {
namespace {

namespace api = api::ostrand;
namespace shared = _shared;

struct Options {
  std::filesystem::path private_key_file;
  std::string subject;
  std::vector<std::string> emails;
  std::vector<std::string> dns_names;
  shared::PasswordInput password;
  std::optional<std::filesystem::path> output;
  std::optional<std::filesystem::path> pkcs11_module;
};

Action request(CLI::App& command) {
  auto options = std::make_shared<Options>();
  shared::private_key_file_option(command, options->private_key_file);
  shared::pkcs11_module_option(command, options->pkcs11_module);
  command.add_option("--subject", options->subject,
                     "Subject name as in openssl -subj: /CN=Alice/O=Example (\\/ is a slash in a value); "
                     "default: empty")
      ->type_name("DN");
  command.add_option("--email", options->emails, "E-mail address for the subjectAltName (repeatable)")
      ->type_name("ADDR")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command.add_option("--dns", options->dns_names, "DNS name for the subjectAltName (repeatable)")
      ->type_name("NAME")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  shared::password_option(command, options->password);
  shared::output_option(command, options->output, "request.csr");
  return [options] {
    const std::optional<SecretBytes> password = options->password.resolve();
    api::request(/*private_key_file=*/options->private_key_file, /*password=*/password,
                 /*subject=*/options->subject, /*emails=*/options->emails, /*dns_names=*/options->dns_names,
                 /*output=*/options->output,
                 /*pkcs11_module=*/options->pkcs11_module);
  };
}

}  // namespace

// The command's own help lists only its usage and options; the summary appears in the
// program's list of commands.
NORVAN_CLI_COMMAND(request, "", "Make a certificate request (PKCS#10, PEM) for a stored private key");

}  // namespace norvan::cli::commands::request
