#pragma once
// The command group of the `norvan` program: a registry of sub-commands that command modules
// fill when their libraries are loaded, the loading of those modules, and the program's entry
// point. A command line loads only the module of the command it runs.

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

/// Loads the command module that registers the sub-command `name`, unless it is loaded
/// already: libnorvan_<name>.so in norvan/commands beside the library that holds the
/// registry. Returns false when no command module of that name was built. Throws
/// std::runtime_error naming the file when the module exists but cannot be loaded.
bool load_command_module(const std::string& name);

/// Loads every command module built with the program, so that all sub-commands are
/// registered: for the list of commands, help texts, manual pages and shell completion.
/// Throws std::runtime_error naming the file when one cannot be loaded.
void load_all_command_modules();

/// Runs `operation`; returns 0 when it succeeds. When it throws an exception, writes the
/// exception's text and a newline to standard error and returns 1.
int report_errors(const std::function<void()>& operation);

/// The program's entry point: parses `argv` against every registered sub-command and runs
/// the chosen one. Returns its exit status; usage errors return 2.
int run(int argc, const char* const* argv);

}  // namespace norvan::cli
