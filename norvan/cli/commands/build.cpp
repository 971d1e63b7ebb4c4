// The `build` sub-command: the package's build tooling from the command line -- converting the
// project file to the Hatch form, running a command with the Hatch form in place, and building
// a Docker image.
#include "norvan/binary_image/docker.hpp"
#include "norvan/binary_image/drovane.hpp"
#include "norvan/binary_image/kelvory.hpp"
#include "norvan/binary_image/nox.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/common/deferred_signals.hpp"
#include "norvan/common/error.hpp"
#include "norvan/common/files.hpp"

#include <exception>
#include <iostream>
#include <memory>

namespace norvan::cli::commands::build {
namespace {

namespace bi = binary_image;

struct Options {
  std::string poetry_file;
  std::string hatch_file;
  std::string root = ".";
  std::vector<std::string> command;
  std::string image_name;
  std::string dockerfile;
};

// Interrupted before the command could start; the clean-up runs, then the signal ends norvan.
class Interrupted : public Error {
 public:
  explicit Interrupted(int signal)
      : Error(ErrorCode::process, std::string("Interrupted by ") + signal_name(signal) + " before the command started") {}

 private:
  static std::string signal_name(int signal) {
    const char* abbreviation = ::sigabbrev_np(signal);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
  }
};

// Runs the command with the Hatch form in place. Signals that would end norvan are held back
// meanwhile: the command receives a terminal's Ctrl-C itself, one sent to norvan alone is
// passed on to it, and once the project file is restored norvan ends as the first signal would
// have ended it.
void run_hatch_project(bi::nox::Session& session, const Options& options) {
  DeferredSignals deferred;
  const std::vector<bi::docker::Arg> args(options.command.begin(), options.command.end());
  std::exception_ptr failure;
  try {
    bi::kelvory::hatch_project_setup(
        session,
        [&] {
          if (const auto signal = deferred.received()) throw Interrupted(*signal);
          bi::docker::run_subprocess_forwarding_signals(session, args, deferred);
        },
        bi::noxconfig::ProjectConfig{options.root});
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && deferred.received()) {
    // The signal ends norvan below, so the failure is reported here first.
    const FailureReport report = failure_report(failure, kFailureStatus);
    if (!report.line.empty()) std::cerr << report.line << std::endl;
  }
  deferred.end_as_received();
  if (failure) std::rethrow_exception(failure);
}

std::string read_dockerfile(const std::string& source) {
  const Bytes content = source == "-" ? Input::standard_input("the Dockerfile").read_all() : read_file(source, "the Dockerfile");
  return std::string(as_text(content));
}

CLI::App* add_convert_pyproject(CLI::App& command, Options& options) {
  CLI::App* convert = command.add_subcommand(
      "convert-pyproject",
      "Convert a pyproject.toml kept for Poetry into a Hatch (hatchling) project file: the ten "
      "PEP 621 metadata keys of its [project] table and a [build-system] table for hatchling");
  convert->add_option("POETRY_FILE", options.poetry_file, "The pyproject.toml to read")->required();
  convert->add_option("HATCH_FILE", options.hatch_file, "The Hatch project file to write (replaced whole); '-' for standard output")
      ->required();
  return convert;
}

CLI::App* add_hatch_project(CLI::App& command, Options& options) {
  CLI::App* hatch = command.add_subcommand(
      "hatch-project",
      "Run COMMAND in the project root with pyproject.toml replaced by its Hatch form, then put "
      "the original back, also when COMMAND fails or a signal interrupts. Exits with COMMAND's "
      "status (128 + the signal number when a signal ended it); a signal sent to norvan is passed "
      "on to COMMAND, and norvan ends by it once the original is back. One run at a time per "
      "project: while one runs (it holds " +
          std::string(bi::kelvory::LOCK_FILE_NAME) +
          " in the root), a second fails at once instead of waiting. A run that finds the "
          "original left in _tmp by a killed run puts it back first");
  hatch->add_option("--root", options.root, "The project root, which holds pyproject.toml")
      ->type_name("DIR")
      ->capture_default_str();
  hatch->add_option("COMMAND", options.command,
                    "The command and its arguments, after '--' (run without a shell, found on PATH)")
      ->required();
  return hatch;
}

CLI::App* add_docker_image(CLI::App& command, Options& options) {
  CLI::App* image = command.add_subcommand(
      "docker-image",
      "Build a Docker image from a Dockerfile with 'docker build' in an empty build context; the "
      "build's output is shown only when it fails");
  image->add_option("NAME", options.image_name, "The image reference to tag, e.g. norvan:1.0")->required();
  image->add_option("DOCKERFILE", options.dockerfile, "The Dockerfile to build ('-' for standard input)")
      ->required();
  return image;
}

Action build(CLI::App& command) {
  auto options = std::make_shared<Options>();
  CLI::App* convert = add_convert_pyproject(command, *options);
  CLI::App* hatch = add_hatch_project(command, *options);
  CLI::App* image = add_docker_image(command, *options);
  command.require_subcommand(1);

  return [options, convert, hatch, image] {
    bi::nox::DefaultSession session;
    if (convert->parsed()) {
      // The file layer writes /dev/stdout into this process's standard output as it is.
      bi::drovane::convert_drovane(options->poetry_file,
                                   options->hatch_file == "-" ? "/dev/stdout" : options->hatch_file);
    } else if (hatch->parsed()) {
      run_hatch_project(session, *options);
    } else {
      bi::docker::build_docker_image(session, options->image_name, read_dockerfile(options->dockerfile));
    }
  };
}

}  // namespace

NORVAN_CLI_COMMAND(build, "Run the package's build tooling: project file conversion, Hatch builds, Docker images");

}  // namespace norvan::cli::commands::build
