#include "norvan/cli/cli.hpp"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace norvan::cli {
namespace {

constexpr const char* kVersion = "0.1.0";

struct CommandEntry {
  CommandSetup setup;
  std::string description;
  std::string summary;
  int failure_status;
};

// Lists each registered command with its summary rather than its description.
class GroupFormatter : public CLI::Formatter {
 public:
  explicit GroupFormatter(const std::map<std::string, CommandEntry>& commands) : commands_(commands) {}
  std::string make_subcommand(const CLI::App* command) const override {
    const auto entry = commands_.find(command->get_name());
    if (entry == commands_.end() || entry->second.summary.empty() || command->get_parent() == nullptr ||
        command->get_parent()->get_parent() != nullptr) {
      return CLI::Formatter::make_subcommand(command);
    }
    std::stringstream out;
    CLI::detail::format_help(out, command->get_display_name(true), entry->second.summary, get_column_width());
    return out.str();
  }

 private:
  const std::map<std::string, CommandEntry>& commands_;
};

// Function-local static: registrations from other libraries' static initialisers may run
// before anything in this library has been initialised.
std::map<std::string, CommandEntry>& registry() {
  static std::map<std::string, CommandEntry> commands;
  return commands;
}

// A usage error: the parser's message and a hint, on standard error; status 2.
int report_usage_error(const CLI::ParseError& error, const CLI::App& app) {
  std::cerr << app.get_name() << ": " << error.what() << "\n"
            << "Run '" << app.get_name() << " --help' for usage.\n";
  return kUsageStatus;
}

// Writes the line of `report` to standard error (after what standard output holds so far);
// returns its exit status.
int report_failure(const FailureReport& report) {
  std::cout.flush();
  if (!report.line.empty()) {
    std::cerr << report.line << '\n';
  } else if (::isatty(STDERR_FILENO)) {
    std::cerr << "\x1b[0m" << std::flush;  // end the colour of the report shown already
  }
  return report.status;
}

// The arguments as the parser should see them: "--name=" (an explicitly empty value) becomes
// "--name" followed by an empty argument, since the parser reads "--name=" as "no value".
std::vector<std::string> normalised_arguments(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") {
      args.insert(args.end(), argv + i, argv + argc);
      break;
    }
    if (arg.size() > 3 && arg.starts_with("--") && arg.ends_with("=") && arg.find('=') == arg.size() - 1) {
      args.emplace_back(arg.substr(0, arg.size() - 1));
      args.emplace_back();
    } else {
      args.emplace_back(arg);
    }
  }
  std::reverse(args.begin(), args.end());  // the parser consumes its vector from the back
  return args;
}

// Loads the command modules this command line needs: the module of the command it names, or
// every module when it names none that is known (a misspelt name) or asks for the group's
// help (the list of commands); none when it only asks for the version. The group itself takes
// flags only, so the first argument that is not an option names the command.
void load_command_modules_for(int argc, const char* const* argv) {
  bool only_version_flags = true;
  bool names_command = false;
  for (int i = 1; i < argc && !names_command; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    names_command = !arg.starts_with("-");
    if (names_command && only_version_flags && load_command_module(arg) && registry().count(arg) != 0) return;
    only_version_flags = only_version_flags && arg == "--version";
  }
  if (argc > 1 && only_version_flags && !names_command) return;
  load_all_command_modules();
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
               "norvan"};
  app.set_version_flag("--version", std::string("norvan ") + kVersion);
  app.require_subcommand(1);
  app.formatter(std::make_shared<GroupFormatter>(registry()));
  app.fallthrough(false);
  load_command_modules_for(argc, argv);

  struct Command {
    CLI::App* app;
    Action action;
    int failure_status;
  };
  std::vector<Command> commands;
  for (const auto& [name, entry] : registry()) {
    CLI::App* command = app.add_subcommand(name, entry.description);
    commands.push_back({command, entry.setup(*command), entry.failure_status});
  }

  try {
    app.parse(normalised_arguments(argc, argv));
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return report_usage_error(e, app);
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
