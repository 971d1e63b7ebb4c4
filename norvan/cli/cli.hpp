#pragma once
// The command group of the `norvan` program: a registry of sub-commands that command modules
// fill when their libraries are loaded, and the program's entry point.

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace norvan::cli {

/// What a sub-command runs once its options are parsed; returns the process's exit status.
using Action = std::function<int()>;

/// Sets a sub-command up: adds its options (and any sub-commands of its own) to `command`,
/// binding them to storage that the returned Action reads.
using CommandSetup = std::function<Action(CLI::App& command)>;

/// Registers a sub-command in the group. Create one at namespace scope in a command module
/// (see NORVAN_CLI_COMMAND); a second registration of the same name throws std::logic_error.
/// `description` heads the command's own help; `summary` is its line in the program's list of
/// commands (the description when empty).
class Registration {
 public:
  Registration(std::string name, CommandSetup setup, std::string description = {}, std::string summary = {});
};

/// Registers the set-up function `function` as the sub-command of the same name; further
/// arguments are the description and the summary.
#define NORVAN_CLI_COMMAND(function, ...) \
  static const ::norvan::cli::Registration norvan_cli_registration_##function{#function, function, ##__VA_ARGS__}

/// Runs `operation`; returns 0 when it succeeds. When it throws an exception, writes the
/// exception's text and a newline to standard error and returns 1.
int report_errors(const std::function<void()>& operation);

/// The program's entry point: parses `argv` against every registered sub-command and runs
/// the chosen one. Returns its exit status; usage errors return 2.
int run(int argc, const char* const* argv);

}  // namespace norvan::cli
