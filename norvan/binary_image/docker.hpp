#pragma once
// Running commands for build scripts, and building Docker images from Dockerfile text.

#include "norvan/binary_image/nox.hpp"
#include "norvan/common/deferred_signals.hpp"
#include "norvan/common/error.hpp"

#include <concepts>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::binary_image::docker {

/// One element of a command line, kept as its text form: text unchanged, integers in
/// decimal, paths as path text.
class Arg {
 public:
  Arg(std::string text) : text_(std::move(text)) {}
  Arg(const char* text) : text_(text) {}
  Arg(const std::filesystem::path& path) : text_(path.string()) {}
  template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>)
  Arg(T number) : text_(std::to_string(number)) {}

  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

/// The program could not be started (not found, not executable); no report was printed.
class StartError : public Error {
 public:
  StartError(const std::string& what, int error_number)
      : Error(ErrorCode::process, what), error_number_(error_number) {}
  /// The operating system's reason (an errno value, e.g. ENOENT).
  int error_number() const noexcept { return error_number_; }

 private:
  int error_number_;
};

/// Captured output was not valid UTF-8 text; thrown after the child ended, no report printed.
class DecodingError : public Error {
 public:
  explicit DecodingError(const std::string& what) : Error(ErrorCode::process, what) {}
};

/// Runs `args` (the program, found on the search path, then its arguments; no shell) as a child
/// process and waits for it. Standard input, working directory and environment are inherited.
/// With `verbose` the child writes to this process's standard output and error; otherwise both
/// are captured (drained together, so a child writing much never stalls). When the exit code
/// (the exit status, or minus the signal number) is not 0, writes "\x1b[31m", the failure
/// report and a line feed to standard error and calls session.error(code) once; what that
/// throws passes through. Throws std::invalid_argument for an empty `args`, StartError when
/// the program cannot be started and DecodingError when captured output is not UTF-8.
void run_subprocess(nox::Session& session, const std::vector<Arg>& args, bool verbose = false);

/// Runs `args` as run_subprocess does with `verbose`, for a caller that holds back its
/// termination signals in `deferred`: while the child runs, each of them that another process
/// sends to this one is passed on to the child (see DeferredSignals::wait_for_child), so the
/// child's end, and its failure report, come first; the caller then acts on deferred.received().
void run_subprocess_forwarding_signals(nox::Session& session, const std::vector<Arg>& args,
                                       DeferredSignals& deferred);

/// Builds the Docker image `name` from `dockerfile_content`: writes it as "Dockerfile" into a
/// fresh temporary directory and runs "docker build -t NAME DIR" through run_subprocess
/// (output captured). The directory is removed on every path. Throws norvan::FileError when
/// the directory or the file cannot be made, and whatever run_subprocess throws.
void build_docker_image(nox::Session& session, const std::string& name, const std::string& dockerfile_content);

}  // namespace norvan::binary_image::docker

NORVAN_PUBLIC_END
