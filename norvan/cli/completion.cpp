#include "norvan/cli/completion.hpp"

#include <sstream>
#include <stdexcept>
#include <vector>

namespace norvan::cli {
namespace {

// What the argument of an option (or a positional argument) is.
enum class ValueKind { none, file, directory, other };

struct OptionEntry {
  std::vector<std::string> names;  // "-c", "--certificate"
  ValueKind value = ValueKind::none;
  std::string description;
};

// A command at some depth: "" is the program itself, "build docker-image" a sub-command.
struct CommandEntry {
  std::string path;
  std::string name;
  std::string description;
  std::vector<std::string> words;  // sub-commands, or the fixed words it takes
  std::vector<OptionEntry> options;
  ValueKind positional = ValueKind::none;
};

ValueKind value_kind(const CLI::Option& option) {
  // An optional value is only ever attached (--password=VALUE, -pVALUE): the next word is not it.
  if (option.get_items_expected_max() == 0 || option.get_items_expected_min() == 0) return ValueKind::none;
  const std::string type = option.get_type_name();
  if (type == "DIR") return ValueKind::directory;
  if (type == "FILE" || type == "PATH" || type == "PAYLOAD" || type == "MESSAGE" || type == "DOCKERFILE" ||
      type.ends_with("_FILE")) {
    return ValueKind::file;
  }
  return ValueKind::other;
}

std::vector<const CLI::App*> subcommands_of(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

void collect(const CLI::App& app, const std::string& path, std::vector<CommandEntry>& commands) {
  CommandEntry entry{path, app.get_name(), app.get_description(), {}, {}, ValueKind::none};
  for (const CLI::App* sub : subcommands_of(app)) entry.words.push_back(sub->get_name());
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_positional() && !option->nonpositional()) {
      entry.positional = std::max(entry.positional, value_kind(*option));
      continue;
    }
    OptionEntry described{{}, value_kind(*option), option->get_description()};
    for (const std::string& name : option->get_snames()) described.names.push_back("-" + name);
    for (const std::string& name : option->get_lnames()) described.names.push_back("--" + name);
    entry.options.push_back(std::move(described));
  }
  commands.push_back(entry);
  for (const CLI::App* sub : subcommands_of(app)) {
    collect(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), commands);
  }
}

// The program's commands; `help` completes command names, `completion` the shells.
std::vector<CommandEntry> command_tree(const CLI::App& app) {
  std::vector<CommandEntry> commands;
  collect(app, "", commands);
  for (CommandEntry& entry : commands) {
    if (entry.path == "help") entry.words = commands.front().words;
    if (entry.path == "completion") entry.words.assign(std::begin(kCompletionShells), std::end(kCompletionShells));
  }
  return commands;
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

std::vector<std::string> option_names(const CommandEntry& entry) {
  std::vector<std::string> names;
  for (const OptionEntry& option : entry.options) names.insert(names.end(), option.names.begin(), option.names.end());
  return names;
}

// `case "$var" in` patterns ("sign:-c"|"sign:--certificate") of the options of every command
// whose argument is of `kind`.
std::string value_patterns(const std::vector<CommandEntry>& commands, ValueKind kind) {
  std::string patterns;
  for (const CommandEntry& entry : commands) {
    for (const OptionEntry& option : entry.options) {
      if (option.value != kind) continue;
      for (const std::string& name : option.names) patterns += (patterns.empty() ? "\"" : "|\"") + entry.path + ":" + name + "\"";
    }
  }
  return patterns;
}

// The loop that finds the command path among the words before the cursor; shared by bash and
// zsh, which differ only in how the words are numbered.
std::string path_loop(const std::vector<CommandEntry>& commands, const std::string& first, const std::string& words,
                      const std::string& current) {
  std::ostringstream out;
  out << "    local cmdpath=\"\" word i\n"
      << "    for ((i = " << first << "; i < " << current << "; i++)); do\n"
      << "        word=${" << words << "[i]}\n"
      << "        case \"$cmdpath:$word\" in\n";
  for (const CommandEntry& entry : commands) {
    if (entry.path.empty()) continue;
    const auto space = entry.path.rfind(' ');
    const std::string parent = space == std::string::npos ? "" : entry.path.substr(0, space);
    out << "            \"" << parent << ":" << entry.name << "\") cmdpath=\"" << entry.path << "\" ;;\n";
  }
  out << "        esac\n"
      << "    done\n";
  return out.str();
}

// What a shell does after the option before the cursor: complete a file, a directory, nothing.
struct ValueActions {
  std::string file;
  std::string directory;
  std::string other;
};

// The arms of the shell's `case "$cmdpath:$prev"` that complete the value of the option just
// typed, one per kind of value that some option takes.
std::string value_case_arms(const std::vector<CommandEntry>& commands, const ValueActions& actions) {
  std::string arms;
  for (const auto& [kind, action] : {std::pair{ValueKind::file, &actions.file},
                                     std::pair{ValueKind::directory, &actions.directory},
                                     std::pair{ValueKind::other, &actions.other}}) {
    if (const std::string patterns = value_patterns(commands, kind); !patterns.empty()) {
      arms += "        " + patterns + ")" + *action + "\n";
    }
  }
  return arms;
}

std::string bash_script(const std::vector<CommandEntry>& commands) {
  std::ostringstream out;
  out << "# bash completion for norvan; made by 'norvan completion bash'\n"
      << "_norvan()\n{\n"
      << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
      << path_loop(commands, "1", "COMP_WORDS", "COMP_CWORD")
      << "    case \"$cmdpath:$prev\" in\n";
  out << value_case_arms(commands,
                         {"\n            compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\")); return ;;",
                          "\n            compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- \"$cur\")); return ;;",
                          "\n            COMPREPLY=(); return ;;"});
  out << "    esac\n"
      << "    local options=\"\" words=\"\" files=\"\"\n"
      << "    case \"$cmdpath\" in\n";
  for (const CommandEntry& entry : commands) {
    out << "        \"" << entry.path << "\") options=\"" << joined(option_names(entry)) << "\" words=\"" << joined(entry.words)
        << "\" files=\"" << (entry.positional == ValueKind::file ? "-f" : entry.positional == ValueKind::directory ? "-d" : "")
        << "\" ;;\n";
  }
  out << "    esac\n"
      << "    if [[ $cur == -* ]]; then\n"
      << "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      << "    else\n"
      << "        COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      << "        if [[ -n $files ]]; then\n"
      << "            compopt -o filenames 2>/dev/null\n"
      << "            COMPREPLY+=($(compgen $files -- \"$cur\"))\n"
      << "        fi\n"
      << "    fi\n"
      << "}\n"
      << "complete -F _norvan norvan\n";
  return out.str();
}

std::string zsh_script(const std::vector<CommandEntry>& commands) {
  std::ostringstream out;
  out << "#compdef norvan\n"
      << "# zsh completion for norvan; made by 'norvan completion zsh'\n"
      << "_norvan() {\n"
      << "    local cur=${words[CURRENT]} prev=${words[CURRENT-1]}\n"
      << path_loop(commands, "2", "words", "CURRENT")
      << "    case \"$cmdpath:$prev\" in\n";
  out << value_case_arms(commands, {" _files; return ;;", " _files -/; return ;;", " return ;;"});
  out << "    esac\n"
      << "    local -a options commands\n"
      << "    local files=\"\"\n"
      << "    case \"$cmdpath\" in\n";
  for (const CommandEntry& entry : commands) {
    out << "        \"" << entry.path << "\") options=(" << joined(option_names(entry)) << ") commands=(" << joined(entry.words)
        << ") files=\"" << (entry.positional == ValueKind::file ? "f" : entry.positional == ValueKind::directory ? "d" : "")
        << "\" ;;\n";
  }
  out << "    esac\n"
      << "    if [[ $cur == -* ]]; then\n"
      << "        compadd -- $options\n"
      << "    else\n"
      << "        compadd -- $commands\n"
      << "        case $files in\n"
      << "            f) _files ;;\n"
      << "            d) _files -/ ;;\n"
      << "        esac\n"
      << "    fi\n"
      << "}\n"
      << "compdef _norvan norvan\n";
  return out.str();
}

std::string fish_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

// The first sentence of a help text, for fish's one-line descriptions: up to a '.' or ';' that
// ends a word (not the one in "X.509" or "pyproject.toml"), or the end of the first line.
std::string first_sentence(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') return text.substr(0, i);
    const bool word_ends = i + 1 == text.size() || text[i + 1] == ' ' || text[i + 1] == '\n';
    if ((text[i] == '.' || text[i] == ';') && word_ends) return text.substr(0, i);
  }
  return text;
}

std::string fish_script(const std::vector<CommandEntry>& commands) {
  std::ostringstream out;
  out << "# fish completion for norvan; made by 'norvan completion fish'\n"
      << "complete -c norvan -f\n";
  for (const CommandEntry& entry : commands) {
    // The condition under which the words at this level apply.
    std::string condition;
    if (entry.path.empty()) {
      condition = "__fish_use_subcommand";
    } else {
      condition = "__fish_seen_subcommand_from " + entry.name;
      if (!entry.words.empty()) condition += "; and not __fish_seen_subcommand_from " + joined(entry.words);
    }
    for (const std::string& word : entry.words) {
      std::string description;
      for (const CommandEntry& sub : commands) {
        if (sub.path == (entry.path.empty() ? word : entry.path + " " + word)) description = sub.description;
      }
      out << "complete -c norvan -n " << fish_quoted(condition) << " -a " << word;
      if (!description.empty()) out << " -d " << fish_quoted(first_sentence(description));
      out << "\n";
    }
    const std::string option_condition = entry.path.empty() ? condition : "__fish_seen_subcommand_from " + entry.name;
    for (const OptionEntry& option : entry.options) {
      out << "complete -c norvan -n " << fish_quoted(option_condition);
      for (const std::string& name : option.names) out << (name.starts_with("--") ? " -l " + name.substr(2) : " -s " + name.substr(1));
      if (option.value == ValueKind::file) out << " -r -F";
      if (option.value == ValueKind::directory) out << " -x -a '(__fish_complete_directories)'";
      if (option.value == ValueKind::other) out << " -x";
      if (!option.description.empty()) out << " -d " << fish_quoted(first_sentence(option.description));
      out << "\n";
    }
    if (entry.positional == ValueKind::file) out << "complete -c norvan -n " << fish_quoted(option_condition) << " -F\n";
  }
  return out.str();
}

}  // namespace

std::string completion_script(const CLI::App& app, std::string_view shell) {
  const std::vector<CommandEntry> commands = command_tree(app);
  if (shell == "bash") return bash_script(commands);
  if (shell == "zsh") return zsh_script(commands);
  if (shell == "fish") return fish_script(commands);
  throw std::invalid_argument("no completion for the shell '" + std::string(shell) + "'; one of: bash, zsh, fish");
}

}  // namespace norvan::cli
