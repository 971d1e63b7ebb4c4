#pragma once
// The command group of the `norvan` program: a registry of sub-commands, which the commands
// compiled into the program fill before main runs, and the program's entry point.

#include <CLI/CLI.hpp>

#include <exception>
#include <functional>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::cli {

/// What a sub-command runs once its options are parsed. It fails by throwing; the program turns
/// the exception into its exit status and error line (failure_report).
using Action = std::function<void()>;

/// The exit status of a command that failed, unless its registration names another one.
inline constexpr int kFailureStatus = 1;
/// The exit status of a message that did not verify (a VerificationError), in every command.
inline constexpr int kNotVerifiedStatus = 1;
/// The exit status of a usage error.
inline constexpr int kUsageStatus = 2;

/// Sets a sub-command up: adds its options (and any sub-commands of its own) to `command`,
/// binding them to storage that the returned Action reads.
using CommandSetup = std::function<Action(CLI::App& command)>;

/// Registers a sub-command in the group. Create one at namespace scope in the command's source
/// file (see NORVAN_CLI_COMMAND); a second registration of the same name throws
/// std::logic_error.
/// `description` heads the command's own help; `summary` is its line in the program's list of
/// commands (the description when empty); `failure_status` is the exit status of the
/// command's failures other than a failed verification.
class Registration {
 public:
  Registration(std::string name, CommandSetup setup, std::string description = {}, std::string summary = {},
               int failure_status = kFailureStatus);
};

/// Registers the set-up function `function` as the sub-command of the same name; further
/// arguments are the description and the summary.
#define NORVAN_CLI_COMMAND(function, ...) \
  static const ::norvan::cli::Registration norvan_cli_registration_##function{#function, function, ##__VA_ARGS__}

/// How the program reports a command that failed.
struct FailureReport {
  int status;        // the process's exit status
  std::string line;  // the line for standard error, without its newline; empty: nothing is
                     // written, the failure was reported where it happened
};

/// Returns the report of the exception `error` that a command registered with
/// `failure_status` threw. This is the one place where errors become exit statuses; norvan
/// errors are told apart by their ErrorCode:
/// - a VerificationError (ErrorCode::verification): kNotVerifiedStatus and "<ErrorType>: <message>", followed by
///   " (<cause>)" when the cause's text says more than the message; an empty message gives
///   "<ErrorType>: <cause>";
/// - a norvan::Error that dictates an exit status (a failed child command): that status and
///   no line, the child's own report having been shown;
/// - any other exception: `failure_status` and its text.
/// The line is always one line: line ends inside texts become blanks.
FailureReport failure_report(const std::exception_ptr& error, int failure_status);

/// The program's entry point: parses `argv` against every registered sub-command and runs
/// the chosen one. Returns 0 when it succeeds, kUsageStatus for usage errors, and the status
/// of failure_report when it throws (after writing its line to standard error). Never throws.
int run(int argc, const char* const* argv);

}  // namespace norvan::cli

NORVAN_PUBLIC_END
