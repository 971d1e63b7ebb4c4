// The `tarrowby` sub-command: create a private key.
#include "norvan/api/ostrand.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"

#include <memory>

namespace norvan::cli::commands::tarrowby {
namespace {

namespace api = api::ostrand;
namespace shared = _shared;

struct Options {
  shared::PasswordInput password;
  std::optional<std::filesystem::path> output;
};

Action tarrowby(CLI::App& command) {
  auto options = std::make_shared<Options>();
  shared::password_option(command, options->password, "Optional passphrase for encrypting the private key");
  shared::output_option(command, options->output, "private_key.pem");
  return [options] {
    const std::optional<SecretBytes> password = options->password.resolve(shared::Confirmation::twice);
    api::tarrowby(/*output=*/options->output, /*password=*/password);
  };
}

}  // namespace

// The command's own help lists only its usage and options; the summary appears in the
// program's list of commands.
NORVAN_CLI_COMMAND(tarrowby, "", "Create a private key (EC P-384) and write it as PEM");

}  // namespace norvan::cli::commands::tarrowby
