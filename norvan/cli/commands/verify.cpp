// The `verify` sub-command: verify an S/MIME clear-signed message and write its payload, or
// many messages with --output-dir.
#include "norvan/api/verify.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"
#include "norvan/common/error.hpp"

#include <algorithm>
#include <iostream>
#include <memory>

namespace norvan::cli::commands::verify {
namespace {

namespace shared = _shared;

// The exit status when verification could not be carried out (a message that does not
// verify exits with kNotVerifiedStatus).
constexpr int kFailed = 2;

struct Options {
  std::vector<std::filesystem::path> trusted_cert_files;
  std::optional<std::filesystem::path> trusted_dir;
  std::optional<std::filesystem::path> output;
  std::vector<std::string> messages;  // as given; none: standard input
  std::optional<std::filesystem::path> output_dir;
  unsigned jobs = 0;
  bool quiet = false;
};

api::TrustedCerts trust_of(const Options& options) {
  return {std::nullopt, options.trusted_cert_files, options.trusted_dir};
}

/// Thrown when messages of a batch failed: their lines are written already, and the program
/// exits with the batch's status (1 or 2) without a further line.
class BatchFailed : public Error {
 public:
  explicit BatchFailed(int status)
      : Error(ErrorCode::verification, "Some messages of the batch failed"), status_(status) {}
  std::optional<int> exit_status() const noexcept override { return status_; }

 private:
  int status_;
};

// Verifies the batch and writes one line per failure, "<message>: <reason>", in the order the
// messages were given; throws BatchFailed with the worst status when any failed.
void run_batch(const Options& options) {
  const std::vector<std::filesystem::path> messages(options.messages.begin(), options.messages.end());
  const std::vector<api::MessageOutcome> outcomes =
      api::verify_batch(messages, trust_of(options), options.output_dir, options.jobs);
  int status = 0;
  std::cout.flush();
  for (std::size_t index = 0; index < outcomes.size(); ++index) {
    if (!outcomes[index].failure) continue;
    const FailureReport report = failure_report(outcomes[index].failure, kFailed);
    std::cerr << options.messages[index] << ": " << report.line << '\n';
    status = std::max(status, report.status);
  }
  if (status != 0) throw BatchFailed(status);
}

void run_one(const Options& options) {
  if (options.messages.size() > 1) throw Error(ErrorCode::invalid_argument, "Several messages need --output-dir DIR");
  std::optional<std::filesystem::path> message;
  if (!options.messages.empty() && options.messages.front() != "-") message = options.messages.front();
  api::verify(message, trust_of(options), options.output, {}, /*progress=*/!options.quiet);
}

Action verify(CLI::App& command) {
  auto options = std::make_shared<Options>();
  command.add_option("-t,--trusted-cert", options->trusted_cert_files,
                     "Trusted certificate file (PEM or DER; of a PEM file only the first "
                     "certificate counts); repeat for several")
      ->type_name("FILE")
      ->allow_extra_args(false);  // one file per --trusted-cert; the message is positional
  command.add_option("-d,--trusted-dir", options->trusted_dir,
                     "Directory whose *.pem files hold further trusted certificates")
      ->type_name("DIR");
  CLI::Option* output = shared::output_option(command, options->output, "payload.txt");
  CLI::Option* output_dir =
      command.add_option("--output-dir", options->output_dir,
                         "Verify every MESSAGE given and write each payload to DIR, named as its message "
                         "without a final .eml")
          ->type_name("DIR")
          ->excludes(output);
  command.add_option("-j,--jobs", options->jobs, "With --output-dir: messages verified at once (default: one per processor)")
      ->type_name("N")
      ->check(CLI::Range(1u, 4096u))
      ->needs(output_dir);
  command.add_option("message", options->messages,
                     "File holding the signed message; '-' or none: standard input. With --output-dir: "
                     "any number of message files")
      ->type_name("MESSAGE");
  command.add_flag("-q,--quiet", options->quiet,
                   "Show no progress line (one is shown on a terminal for messages over 64 MiB)");
  command.footer(
      "Without --trusted-cert and --trusted-dir the system's trust store applies. On success the "
      "payload is written and the exit status is 0. A message that does not verify prints "
      "'<ErrorType>: <reason>' on standard error and exits with 1; any other failure (an "
      "unreadable file, malformed signature data) exits with 2. Nothing is written unless the "
      "message verifies. With --output-dir, each message has the outcome it has alone; every "
      "failure is one line '<MESSAGE>: <reason>', and the exit status is 0 when all verified, 2 "
      "when any failed for another reason than verification, 1 otherwise.");
  return [options] {
    if (options->output_dir) return run_batch(*options);
    run_one(*options);
  };
}

}  // namespace

NORVAN_CLI_COMMAND(verify, "Verify an S/MIME signed message and write its payload", /*summary=*/"",
                   /*failure_status=*/kFailed);

}  // namespace norvan::cli::commands::verify
