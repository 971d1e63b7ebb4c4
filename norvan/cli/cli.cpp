#include "norvan/cli/cli.hpp"

#include "norvan/cli/completion.hpp"
#include "norvan/cli/did_you_mean.hpp"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace norvan::cli {
namespace {

constexpr const char* kVersion = "0.1.0";
constexpr const char* kProgram = "norvan";

struct CommandEntry {
  CommandSetup setup;
  std::string description;
  std::string summary;
  int failure_status;
};

// Function-local static: registrations from other libraries' static initialisers may run
// before anything in this library has been initialised.
std::map<std::string, CommandEntry>& registry() {
  static std::map<std::string, CommandEntry> commands;
  return commands;
}

// The program's list of commands shows each command's summary (CLI11's description of the
// sub-command); a command's own help heads with its description, which may be empty.
class GroupFormatter : public CLI::Formatter {
 public:
  std::string make_description(const CLI::App* app) const override {
    const bool is_command = app->get_parent() != nullptr && app->get_parent()->get_parent() == nullptr;
    const auto entry = registry().find(app->get_name());
    if (!is_command || entry == registry().end()) return CLI::Formatter::make_description(app);
    return entry->second.description.empty() ? std::string() : entry->second.description + "\n";
  }
};

// A usage error: the message and a hint, on standard error; status 2.
int report_usage_error(const std::string& message, const std::string& help_command) {
  // One write: the lines of programs that fail at once never interleave.
  std::cerr << std::string(kProgram) + ": " + message + "\nRun '" + help_command + " --help' for usage.\n";
  return kUsageStatus;
}

// Writes the line of `report` to standard error (after what standard output holds so far);
// returns its exit status.
int report_failure(const FailureReport& report) {
  std::cout.flush();
  if (!report.line.empty()) {
    std::cerr << report.line + '\n';  // one write, so that concurrent lines never interleave
  } else if (::isatty(STDERR_FILENO)) {
    std::cerr << "\x1b[0m" << std::flush;  // end the colour of the report shown already
  }
  return report.status;
}

std::vector<std::string> command_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    names.push_back(command->get_name());
  }
  return names;
}

// "unknown command 'sig'; did you mean 'sign'?" (without the question when no name is close).
std::string unknown_command_message(const CLI::App& app, const std::string& given) {
  std::string message = "unknown command '" + given + "'";
  if (const auto close = closest_name(given, command_names(app))) message += "; did you mean '" + *close + "'?";
  return message;
}

int report_unknown_command(const CLI::App& app, const std::string& given) {
  return report_usage_error(unknown_command_message(app, given), kProgram);
}

// The first argument names the command, unless it is an option of the program itself.
// Returns the usage error it makes, if any.
std::optional<std::string> first_argument_error(const CLI::App& app, int argc, const char* const* argv) {
  if (argc < 2) {
    std::string names;
    for (const std::string& name : command_names(app)) names += (names.empty() ? "" : ", ") + name;
    return "no command given; one of: " + names;
  }
  const std::string first = argv[1];
  if (first.starts_with("-")) {
    for (const CLI::Option* option : app.get_options()) {
      if (option->check_name(first.substr(0, first.find('=')))) return std::nullopt;
    }
    return "unknown option '" + first + "'";
  }
  for (const std::string& name : command_names(app)) {
    if (name == first) return std::nullopt;
  }
  return unknown_command_message(app, first);
}

// The passphrase's short option takes its value attached (-pVALUE), so that it never takes
// the next argument, a payload or message file, as the passphrase. A separate next argument is
// refused, except the empty argument (-p ''), which is the empty passphrase and names no file.
// Returns the usage error, if any, for the command `argv[1]`.
std::optional<std::string> detached_passphrase_error(const CLI::App& app, int argc, const char* const* argv) {
  const auto named = app.get_subcommands([argv](const CLI::App* command) { return command->get_name() == argv[1]; });
  if (named.empty() || named.front()->get_option_no_throw("-p") == nullptr) return std::nullopt;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "-p" && (i + 1 == argc || argv[i + 1][0] != '\0')) {
      return "-p takes the passphrase attached, as -pPASSPHRASE (or --password=PASSPHRASE); "
             "--password alone asks for it";
    }
  }
  return std::nullopt;
}

// The arguments after the program's name as CLI11's parse() takes them (last first). CLI11
// reads "--password=" as a bare "--password", which asks for the passphrase; the empty
// passphrase it names is handed on as "-p ''", which means the same, to a command that has -p.
std::vector<std::string> arguments_for_parser(const CLI::App& app, int argc, const char* const* argv) {
  const auto named = app.get_subcommands([argv](const CLI::App* command) { return command->get_name() == argv[1]; });
  std::vector<std::string> arguments;
  bool options_end = named.empty() || named.front()->get_option_no_throw("-p") == nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    options_end = options_end || arg == "--";
    if (!options_end && arg == "--password=") {
      arguments.emplace_back("-p");
      arguments.emplace_back();
    } else {
      arguments.emplace_back(arg);
    }
  }
  std::reverse(arguments.begin(), arguments.end());
  return arguments;
}

// `norvan help [COMMAND...]`: the help that `--help` shows at the same place.
struct HelpRequest {
  CLI::App* command = nullptr;
  std::vector<std::string> topic;
};

void add_help_command(CLI::App& app, HelpRequest& request) {
  request.command = app.add_subcommand("help", "Show the help of the program or of a command");
  request.command->add_option("COMMAND", request.topic, "The command (and sub-command) to describe");
}

int show_help(const CLI::App& app, const std::vector<std::string>& topic) {
  const CLI::App* shown = &app;
  std::string parent_path;
  std::string path = kProgram;
  for (const std::string& name : topic) {
    const CLI::App* next = nullptr;
    for (const CLI::App* command : shown->get_subcommands([](const CLI::App*) { return true; })) {
      if (command->get_name() == name) next = command;
    }
    if (next == nullptr) {
      if (shown == &app) return report_unknown_command(app, name);
      return report_usage_error("'" + path + "' has no sub-command '" + name + "'", path);
    }
    parent_path = path;
    path += " " + name;
    shown = next;
  }
  std::cout << (shown == &app ? app.get_formatter()->make_help(&app, kProgram, CLI::AppFormatMode::Normal)
                              : shown->help(parent_path));
  return 0;
}

// `norvan completion SHELL`: the completion script for SHELL on standard output.
struct CompletionRequest {
  CLI::App* command = nullptr;
  std::string shell;
};

void add_completion_command(CLI::App& app, CompletionRequest& request) {
  request.command = app.add_subcommand("completion", "Write the shell completion script for bash, zsh or fish");
  request.command->add_option("SHELL", request.shell, "The shell: bash, zsh or fish")
      ->required()
      ->check(CLI::IsMember(std::vector<std::string>(std::begin(kCompletionShells), std::end(kCompletionShells))));
  request.command->footer(
      "Installed scripts are loaded by the shells themselves; to try one in the running shell: "
      "source <(norvan completion bash).");
}

// Which commands this command line needs set up (their options bound, their actions made):
// only the command it names, or none when it only asks for the version, since setting up every
// command costs each run a share of its start-up. Every command, for the list of commands, help,
// completion and misspelt names.
bool needs_set_up(const std::string& name, int argc, const char* const* argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--version") return false;
  if (argc < 2 || registry().count(argv[1]) == 0) return true;
  return name == argv[1];
}

}  // namespace

Registration::Registration(std::string name, CommandSetup setup, std::string description, std::string summary,
                           int failure_status) {
  if (summary.empty()) summary = description;
  auto [it, inserted] = registry().emplace(
      name, CommandEntry{std::move(setup), std::move(description), std::move(summary), failure_status});
  if (!inserted) throw std::logic_error("the sub-command '" + name + "' is registered twice");
}

namespace {

int parse_and_run(int argc, const char* const* argv) {
  CLI::App app{"norvan: create signing keys and certificates, sign payloads into S/MIME messages "
               "and verify them, and run the package's build tooling.",
               kProgram};
  app.set_version_flag("--version", std::string(kProgram) + " " + kVersion);
  app.require_subcommand(1);
  app.formatter(std::make_shared<GroupFormatter>());
  app.fallthrough(false);

  struct Command {
    CLI::App* app;
    Action action;
    int failure_status;
  };
  std::vector<Command> commands;
  for (const auto& [name, entry] : registry()) {
    CLI::App* command = app.add_subcommand(name, entry.summary);
    if (needs_set_up(name, argc, argv)) commands.push_back({command, entry.setup(*command), entry.failure_status});
  }
  HelpRequest help;
  add_help_command(app, help);
  CompletionRequest completion;
  add_completion_command(app, completion);

  if (const auto error = first_argument_error(app, argc, argv)) return report_usage_error(*error, kProgram);
  if (const auto error = detached_passphrase_error(app, argc, argv)) {
    return report_usage_error(*error, std::string(kProgram) + " " + argv[1]);
  }
  try {
    std::vector<std::string> arguments = arguments_for_parser(app, argc, argv);
    app.parse(arguments);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    const auto chosen = app.get_subcommands();
    return report_usage_error(e.what(), chosen.empty() ? std::string(kProgram)
                                                       : std::string(kProgram) + " " + chosen.front()->get_name());
  }

  if (help.command->parsed()) return show_help(app, help.topic);
  if (completion.command->parsed()) {
    std::cout << completion_script(app, completion.shell) << std::flush;
    return std::cout ? 0 : kFailureStatus;
  }

  for (const auto& command : commands) {
    if (!command.app->parsed()) continue;
    try {
      command.action();
      return 0;
    } catch (...) {
      return report_failure(failure_report(std::current_exception(), command.failure_status));
    }
  }
  return kUsageStatus;  // unreachable: require_subcommand(1) guarantees one was parsed
}

}  // namespace

int run(int argc, const char* const* argv) {
  try {
    return parse_and_run(argc, argv);
  } catch (...) {  // setting the commands up failed
    return report_failure(failure_report(std::current_exception(), kFailureStatus));
  }
}

}  // namespace norvan::cli
