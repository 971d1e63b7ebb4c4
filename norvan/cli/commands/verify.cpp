// The `verify` sub-command: verify an S/MIME clear-signed message and write its payload, or
// many messages with --output-dir.
#include "norvan/api/verify.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/cli/commands/_shared.hpp"
#include "norvan/common/error.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/rfc3339.hpp"
#include "norvan/signing/brisvale.hpp"

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
  std::vector<std::filesystem::path> crl_files;
  std::optional<std::string> at_time;  // RFC 3339 or "signing-time"
  std::optional<std::string> purpose;
  bool rfc8551 = false;
  bool body = false;
};

// The value of --at-time that validates as of the signer's signing-time attribute.
constexpr std::string_view kSigningTime = "signing-time";

// CRLs of large CAs reach tens of MiB, beyond the limit of small inputs such as keys; this
// bounds them still, since they are read whole.
constexpr std::size_t kRevocationListLimit = std::size_t{256} << 20;

// The revocation lists of --crl, each checked here so that a file that holds no CRL is named
// before any message is verified.
std::vector<signing::brisvale::RevocationList> revocation_lists(const Options& options) {
  std::vector<signing::brisvale::RevocationList> lists;
  for (const std::filesystem::path& path : options.crl_files) {
    lists.push_back({read_file(path, "CRL file", kRevocationListLimit), path.string()});
    signing::brisvale::check_revocation_list(lists.back());
  }
  return lists;
}

// The verification the options ask for; a default value when none of them is given.
signing::mime::VerifyOptions verify_options(const Options& options) {
  signing::mime::VerifyOptions verify;
  verify.policy.crls = revocation_lists(options);
  if (options.at_time == kSigningTime) {
    verify.policy.at_signing_time = true;
  } else if (options.at_time) {
    verify.policy.at_time = parse_rfc3339(*options.at_time);
  }
  if (options.purpose) verify.policy.purpose = signing::brisvale::parse_purpose(*options.purpose);
  verify.rfc8551 = options.rfc8551;
  verify.body = options.body;
  return verify;
}

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
void run_batch(const Options& options, const signing::mime::VerifyOptions& verify) {
  const std::vector<std::filesystem::path> messages(options.messages.begin(), options.messages.end());
  const std::vector<api::MessageOutcome> outcomes =
      api::verify_batch(messages, trust_of(options), options.output_dir, options.jobs, verify);
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

void run_one(const Options& options, const signing::mime::VerifyOptions& verify) {
  if (options.messages.size() > 1) throw Error(ErrorCode::invalid_argument, "Several messages need --output-dir DIR");
  std::optional<std::filesystem::path> message;
  if (!options.messages.empty() && options.messages.front() != "-") message = options.messages.front();
  api::verify(message, trust_of(options), options.output, verify, /*progress=*/!options.quiet);
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
  command.add_option("--crl", options->crl_files,
                     "Certificate revocation list (PEM or DER); repeat for several. With any, every "
                     "certificate of the path must be covered by a given CRL and not be revoked")
      ->type_name("FILE")
      ->allow_extra_args(false);
  command.add_option("--at-time", options->at_time,
                     "Validate the certificates as of TIME (RFC 3339, for example 2026-01-31T12:00:00Z) "
                     "instead of now. 'signing-time' takes the time from the message's signing-time "
                     "attribute, which the signer controls: it is whatever the signer put there")
      ->type_name("TIME|signing-time");
  command.add_option("--purpose", options->purpose,
                     "Require the signer's certificate to have this extended key usage: smime "
                     "(emailProtection), codesign (codeSigning) or any (some extended key usage)")
      ->type_name("PURPOSE")
      ->check(CLI::IsMember({"smime", "codesign", "any"}));
  CLI::Option* rfc8551 = command.add_flag(
      "--rfc8551", options->rfc8551,
      "Verify as mail clients sign (RFC 8551): the signature covers the first part of the "
      "multipart/signed as a canonical MIME entity, or the content of an application/pkcs7-mime "
      "signed-data message; the signed entity is written as it was signed");
  command.add_flag("--body", options->body,
                   "With --rfc8551: write the decoded body of a single text part, with LF line ends, instead "
                   "of the whole entity")
      ->needs(rfc8551);
  command.footer(
      "Without --trusted-cert and --trusted-dir the system's trust store applies. On success the "
      "payload is written and the exit status is 0. A message that does not verify prints "
      "'<ErrorType>: <reason>' on standard error and exits with 1; any other failure (an "
      "unreadable file, malformed signature data) exits with 2. Nothing is written unless the "
      "message verifies. With --output-dir, each message has the outcome it has alone; every "
      "failure is one line '<MESSAGE>: <reason>', and the exit status is 0 when all verified, 2 "
      "when any failed for another reason than verification, 1 otherwise. A certificate that is "
      "revoked, not covered by any --crl, outside its validity at the time checked or without the "
      "--purpose asked for is a CertificateError (exit status 1).");
  return [options] {
    const signing::mime::VerifyOptions verify = verify_options(*options);
    if (options->output_dir) return run_batch(*options, verify);
    run_one(*options, verify);
  };
}

}  // namespace

NORVAN_CLI_COMMAND(verify, "Verify an S/MIME signed message and write its payload", /*summary=*/"",
                   /*failure_status=*/kFailed);

}  // namespace norvan::cli::commands::verify
