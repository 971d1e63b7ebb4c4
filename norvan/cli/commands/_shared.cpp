#include "norvan/cli/commands/_shared.hpp"

#include "norvan/common/fd.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/input.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/pkcs11.hpp"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace norvan::cli::commands::_shared {
namespace {

void cleanse(std::string& text) noexcept {
  if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

// How reading a passphrase line ended.
enum class LineRead { line, end_of_input, too_long };

// Reads one line from `input` without its line end, one byte at a time so that nothing after
// the line is consumed, and never more than a passphrase can hold (one byte more shows that
// it is too long).
LineRead read_line(Input& input, std::string& line) {
  line.clear();
  // Room for the longest line up front: a string that grew would leave copies of the
  // passphrase in the memory it freed.
  line.reserve(signing::merrowin::PASSPHRASE_MAX_LENGTH + 2);
  bool any = false;
  for (;;) {
    std::uint8_t c = 0;
    if (input.read(std::span<std::uint8_t>(&c, 1)) == 0) {
      if (!any) return LineRead::end_of_input;
      break;
    }
    any = true;
    if (c == '\n') break;
    // A CR LF line end leaves one CR more than the passphrase holds.
    if (line.size() > signing::merrowin::PASSPHRASE_MAX_LENGTH) return LineRead::too_long;
    line.push_back(static_cast<char>(c));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line.size() > signing::merrowin::PASSPHRASE_MAX_LENGTH ? LineRead::too_long : LineRead::line;
}

[[noreturn]] void throw_too_long(const std::string& source) {
  throw std::runtime_error("The passphrase " + source + " is longer than " +
                           std::to_string(signing::merrowin::PASSPHRASE_MAX_LENGTH) + " bytes, the most allowed");
}

// The controlling terminal, opened for reading and writing; closed when destroyed.
class Terminal {
 public:
  Terminal() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)) {}
  bool available() const noexcept { return static_cast<bool>(fd_); }

  // Shows `prompt` and reads one line with echo switched off.
  std::string ask_hidden(const std::string& prompt) {
    (void)!::write(fd_.get(), prompt.data(), prompt.size());
    termios saved{};
    const bool is_tty = ::tcgetattr(fd_.get(), &saved) == 0;
    if (is_tty) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(fd_.get(), TCSAFLUSH, &quiet);
    }
    std::string line;
    Input input = Input::descriptor(fd_.get(), "the passphrase");
    const LineRead result = read_line(input, line);
    if (is_tty) ::tcsetattr(fd_.get(), TCSAFLUSH, &saved);
    (void)!::write(fd_.get(), "\n", 1);
    if (result == LineRead::end_of_input) throw std::runtime_error("No passphrase entered: the terminal was closed");
    if (result == LineRead::too_long) {
      cleanse(line);
      throw_too_long("entered");
    }
    return line;
  }

 private:
  FileDescriptor fd_;
};

std::string ask_on_terminal(Confirmation confirmation) {
  Terminal terminal;
  if (!terminal.available()) {
    throw std::runtime_error(
        "Cannot ask for the passphrase: there is no terminal; give it with --password-file FILE or "
        "--password-fd N");
  }
  std::string first = terminal.ask_hidden("Passphrase: ");
  if (confirmation == Confirmation::twice) {
    std::string second = terminal.ask_hidden("Repeat the passphrase: ");
    const bool same = first == second;
    cleanse(second);
    if (!same) {
      cleanse(first);
      throw std::runtime_error("The two passphrases differ; nothing was written");
    }
  }
  return first;
}

// Reads the passphrase line from `fd`; `where` names the source in errors ("on standard input").
std::string read_passphrase_line(int fd, const std::string& where) {
  std::string line;
  Input input = Input::descriptor(fd, "the passphrase");
  const LineRead result = read_line(input, line);
  if (result == LineRead::end_of_input) {
    throw std::runtime_error("No passphrase " + where + ": it ended before a line was read");
  }
  if (result == LineRead::too_long) {
    cleanse(line);
    throw_too_long(where);
  }
  return line;
}

// The first line of `path`. An empty file is refused: taken as an empty passphrase, it would
// leave a new key unencrypted.
std::string read_from_file(const std::filesystem::path& path) {
  Input input = Input::file(path, "passphrase file");
  std::string line;
  const LineRead result = read_line(input, line);
  if (result == LineRead::end_of_input) throw std::runtime_error("The passphrase file '" + path.string() + "' is empty");
  if (result == LineRead::too_long) {
    cleanse(line);
    throw_too_long("in '" + path.string() + "'");
  }
  return line;
}

}  // namespace

bool PasswordInput::reads_standard_input() const {
  return (ask && ::isatty(STDIN_FILENO) == 0) || descriptor == STDIN_FILENO;
}

std::optional<SecretBytes> PasswordInput::resolve(Confirmation confirmation) const {
  std::string text;
  if (value) {
    text = *value;
  } else if (file) {
    text = read_from_file(*file);
  } else if (descriptor) {
    text = read_passphrase_line(*descriptor, "on descriptor " + std::to_string(*descriptor));
  } else if (!ask) {
    return std::nullopt;
  } else if (::isatty(STDIN_FILENO)) {
    text = ask_on_terminal(confirmation);
  } else {
    text = read_passphrase_line(STDIN_FILENO, "on standard input");
  }
  std::optional<SecretBytes> passphrase(SecretBytes(to_bytes(text)));
  cleanse(text);
  return passphrase;
}

CLI::Option* output_option(CLI::App& command, std::optional<std::filesystem::path>& output,
                           std::string_view file_name) {
  return command
      .add_option_function<std::string>(
          "-o,--output",
          [&output](const std::string& value) {
            if (value == "-") {
              output.reset();
            } else {
              output = value;
            }
          },
          "File to write, for example " + std::string(file_name) + "; '-' or not given: standard output")
      ->type_name("FILE");
}

CLI::Option* password_option(CLI::App& command, PasswordInput& password, std::string help) {
  // A value-less option (expected 0) whose value, if any, is only taken from "--password=VALUE":
  // the argument after it is never its value.
  CLI::Option* asked =
      command
          .add_option_function<std::string>(
              "--password",
              [&password](const std::string& value) {
                // "--password=" arrives as -p '' (see cli::run): an empty value here is the bare form.
                if (value.empty()) {
                  password.ask = true;
                } else {
                  password.value = value;
                }
              },
              help + ". Without '=' it takes no value: the passphrase is asked for on the terminal, "
                     "or read as one line from standard input when that is not a terminal; '--password=' is "
                     "the empty passphrase. A value given on the command line is visible to other "
                     "users of this machine")
          ->expected(0, 0)
          ->option_text("[=PASSPHRASE]");
  CLI::Option* inline_value =
      command
          .add_option_function<std::string>(
              "-p", [&password](const std::string& value) { password.value = value; },
              "The passphrase, attached: -pSECRET (-p '' is the empty passphrase); visible to other "
              "users of this machine")
          ->expected(0, 1)
          ->option_text("PASSPHRASE");
  CLI::Option* from_file =
      command
          .add_option_function<std::string>(
              "--password-file", [&password](const std::string& value) { password.file = value; },
              "Read the passphrase from the first line of FILE")
          ->type_name("FILE");
  CLI::Option* from_descriptor =
      command
          .add_option_function<int>(
              "--password-fd", [&password](int value) { password.descriptor = value; },
              "Read the passphrase as one line from the open file descriptor N")
          ->check(CLI::Validator(CLI::NonNegativeNumber).description(""))
          ->type_name("N");
  CLI::Option* const sources[] = {asked, inline_value, from_file, from_descriptor};
  for (CLI::Option* source : sources) {
    for (CLI::Option* other : sources) {
      if (other != source) source->excludes(other);
    }
  }
  return asked;
}

CLI::Option* private_key_file_option(CLI::App& command, std::filesystem::path& private_key_file) {
  return command
      .add_option_function<std::string>(
          "-k,--private-key-file", [&private_key_file](const std::string& value) { private_key_file = value; },
          "PEM private key file or pkcs11: URI of a key in a token (RFC 7512, for example "
          "'pkcs11:token=signing;object=alice'); a token's PIN comes from the passphrase options")
      ->type_name("FILE")
      ->required();
}

CLI::Option* pkcs11_module_option(CLI::App& command, std::optional<std::filesystem::path>& module) {
  return command.add_option("--pkcs11-module", module,
                            "PKCS#11 module that holds the token of a pkcs11: key (default: p11-kit's "
                            "proxy, " + std::string(signing::pkcs11::DEFAULT_MODULE) + ", which offers every module "
                            "registered with p11-kit)")
      ->type_name("PATH");
}

}  // namespace norvan::cli::commands::_shared
