// The `build` sub-command: the package's build tooling from the command line -- converting the
// project file to the Hatch form, running a command with the Hatch form in place, and building
// a Docker image.
#include "norvan/binary_image/docker.hpp"
#include "norvan/binary_image/drovane.hpp"
#include "norvan/binary_image/kelvory.hpp"
#include "norvan/binary_image/nox.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/common/files.hpp"

#include <array>
#include <csignal>
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

extern "C" void let_the_child_handle_it(int) {}

// While it exists, SIGINT, SIGTERM and SIGHUP no longer end this process: the command it runs
// receives Ctrl-C from the terminal itself, and this process lives on to restore the project
// file once the command has ended. Signals this process ignores stay ignored.
class DeferTerminationSignals {
 public:
  DeferTerminationSignals() {
    struct sigaction deferred {};
    deferred.sa_handler = let_the_child_handle_it;
    sigemptyset(&deferred.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      ::sigaction(kSignals[i], nullptr, &saved_[i]);
      if (saved_[i].sa_handler == SIG_DFL) ::sigaction(kSignals[i], &deferred, nullptr);
    }
  }
  DeferTerminationSignals(const DeferTerminationSignals&) = delete;
  DeferTerminationSignals& operator=(const DeferTerminationSignals&) = delete;
  ~DeferTerminationSignals() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &saved_[i], nullptr);
  }

 private:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> saved_{};
};

std::string read_dockerfile(const std::string& source) {
  const Bytes content = source == "-" ? read_standard_input("the Dockerfile") : read_file(source, "the Dockerfile");
  return std::string(as_text(content));
}

CLI::App* add_convert_pyproject(CLI::App& command, Options& options) {
  CLI::App* convert = command.add_subcommand(
      "convert-pyproject",
      "Convert a pyproject.toml kept for Poetry into a Hatch (hatchling) project file: the ten "
      "PEP 621 metadata keys of its [project] table and a [build-system] table for hatchling");
  convert->add_option("POETRY_FILE", options.poetry_file, "The pyproject.toml to read")->required();
  convert->add_option("HATCH_FILE", options.hatch_file, "The Hatch project file to write (replaced whole)")
      ->required();
  return convert;
}

CLI::App* add_hatch_project(CLI::App& command, Options& options) {
  CLI::App* hatch = command.add_subcommand(
      "hatch-project",
      "Run COMMAND in the project root with pyproject.toml replaced by its Hatch form, then put "
      "the original back, also when COMMAND fails or is interrupted. Exits with COMMAND's status "
      "(128 + the signal number when a signal ended it)");
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
      bi::drovane::convert_drovane(options->poetry_file, options->hatch_file);
    } else if (hatch->parsed()) {
      const DeferTerminationSignals deferred;
      const std::vector<bi::docker::Arg> args(options->command.begin(), options->command.end());
      bi::kelvory::hatch_project_setup(
          session, [&] { bi::docker::run_subprocess(session, args, /*verbose=*/true); },
          bi::noxconfig::ProjectConfig{options->root});
    } else {
      bi::docker::build_docker_image(session, options->image_name, read_dockerfile(options->dockerfile));
    }
  };
}

}  // namespace

NORVAN_CLI_COMMAND(build, "Run the package's build tooling: project file conversion, Hatch builds, Docker images");

}  // namespace norvan::cli::commands::build
