#include "norvan/binary_image/docker.hpp"

#include "norvan/common/fd.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/utf8.hpp"
#include "norvan/common/files.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace norvan::binary_image::docker {
namespace {

namespace fs = std::filesystem;

struct Pipe {
  FileDescriptor read_end;
  FileDescriptor write_end;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "Cannot create a pipe");
  return {FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

// The spawn attributes and file actions of one child, destroyed with this object.
class SpawnSetup {
 public:
  SpawnSetup() {
    check(::posix_spawn_file_actions_init(&actions_));
    if (const int error = ::posix_spawnattr_init(&attributes_); error != 0) {
      ::posix_spawn_file_actions_destroy(&actions_);
      check(error);
    }
    // The child starts with no signal blocked and default SIGPIPE handling, whatever this
    // process does with its own signals while it waits.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    check(::posix_spawnattr_setsigmask(&attributes_, &none));
    check(::posix_spawnattr_setsigdefault(&attributes_, &defaults));
    check(::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    ::posix_spawnattr_destroy(&attributes_);
    ::posix_spawn_file_actions_destroy(&actions_);
  }

  // Makes `fd` the child's descriptor `target`.
  void redirect(int fd, int target) { check(::posix_spawn_file_actions_adddup2(&actions_, fd, target)); }

  pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int error = ::posix_spawnp(&pid, argv[0], &actions_, &attributes_, argv.data(), environ);
    if (error != 0) throw StartError("Cannot start '" + args[0] + "': " + std::strerror(error), error);
    return pid;
  }

 private:
  static void check(int error) {
    if (error != 0) throw std::system_error(error, std::generic_category(), "Cannot prepare a child process");
  }
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
};

// The exit code of a wait status: the exit status, or minus the signal number that ended it.
int exit_code(int status) { return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status); }

// Waits for `pid`; returns its exit code.
int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "Cannot wait for a child process");
  }
  return exit_code(status);
}

// Reads both pipes until both are closed, taking from whichever has data.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  std::array<pollfd, 2> fds{{{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&out, &err};
  std::array<char, 65536> buffer;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "Cannot read a child's output");
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n > 0) {
        sinks[i]->append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;  // end of output (a read error ends it too)
      }
    }
  }
}

// Checks that `bytes` is UTF-8 and returns it with CR LF and lone CR turned into LF.
std::string decode(const std::string& bytes, const char* stream, const std::string& program) {
  if (const std::size_t offset = invalid_utf8_offset(bytes); offset != std::string_view::npos) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned>(static_cast<unsigned char>(bytes[offset])));
    throw DecodingError(std::string("The ") + stream + " of '" + program + "' is not UTF-8 text: byte " + byte +
                        " at offset " + std::to_string(offset));
  }
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\r') {
      text += bytes[i];
    } else {
      text += '\n';
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    }
  }
  return text;
}

std::string trimmed(const std::string& text) {
  constexpr const char* kWhitespace = " \t\n\v\f\r";
  const std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

std::string failure_report(int code, const std::vector<std::string>& args, const std::string& out,
                           const std::string& err) {
  std::string command;
  for (const auto& arg : args) command += (command.empty() ? "" : " ") + arg;
  return "subprocess.run() returned exit code: " + std::to_string(code) + "\ncommand: " + command +
         "\nstdout: " + trimmed(out) + "\nstderr: " + trimmed(err);
}

// Starts the child with its output going where ours goes.
pid_t start_inheriting_output(const std::vector<std::string>& args) {
  std::cout.flush();
  std::fflush(stdout);
  SpawnSetup setup;
  return setup.spawn(args);
}

// Runs the child with both output streams captured and decoded.
int run_capturing_output(const std::vector<std::string>& args, std::string& out, std::string& err) {
  Pipe out_pipe = make_pipe();
  Pipe err_pipe = make_pipe();
  SpawnSetup setup;
  setup.redirect(out_pipe.write_end.get(), STDOUT_FILENO);
  setup.redirect(err_pipe.write_end.get(), STDERR_FILENO);
  const pid_t pid = setup.spawn(args);
  out_pipe.write_end.reset();
  err_pipe.write_end.reset();
  std::string raw_out, raw_err;
  try {
    drain(out_pipe.read_end.get(), err_pipe.read_end.get(), raw_out, raw_err);
  } catch (...) {
    out_pipe.read_end.reset();
    err_pipe.read_end.reset();
    wait_for(pid);
    throw;
  }
  const int code = wait_for(pid);
  out = decode(raw_out, "standard output", args[0]);
  err = decode(raw_err, "standard error", args[0]);
  return code;
}

// A fresh directory under the system's temporary location, removed with its contents when
// the object goes out of scope.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "norvan-docker-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw_file_error("Cannot create a temporary directory", pattern, errno);
    path_ = pattern;
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const noexcept { return path_; }

 private:
  fs::path path_;
};

std::vector<std::string> text_arguments(const std::vector<Arg>& args) {
  if (args.empty()) throw std::invalid_argument("run_subprocess needs a command: the argument list is empty");
  std::vector<std::string> str_args;
  for (const auto& arg : args) str_args.push_back(arg.text());
  return str_args;
}

// Reports a failed command and hands its exit code to the session.
void report_end(nox::Session& session, int code, const std::vector<std::string>& str_args, const std::string& out,
                const std::string& err) {
  if (code == 0) return;
  session.write_error_output("\x1b[31m" + failure_report(code, str_args, out, err) + "\n");
  session.error(code);
}

}  // namespace

void run_subprocess(nox::Session& session, const std::vector<Arg>& args, bool verbose) {
  const std::vector<std::string> str_args = text_arguments(args);
  std::string out, err;
  const int code = verbose ? wait_for(start_inheriting_output(str_args)) : run_capturing_output(str_args, out, err);
  report_end(session, code, str_args, out, err);
}

void run_subprocess_forwarding_signals(nox::Session& session, const std::vector<Arg>& args,
                                       DeferredSignals& deferred) {
  const std::vector<std::string> str_args = text_arguments(args);
  const int code = exit_code(deferred.wait_for_child(start_inheriting_output(str_args)));
  report_end(session, code, str_args, {}, {});
}

void build_docker_image(nox::Session& session, const std::string& name, const std::string& dockerfile_content) {
  const TemporaryDirectory context;
  write_file(context.path() / "Dockerfile", as_bytes(dockerfile_content), FileMode::standard, "the Dockerfile");
  run_subprocess(session, {"docker", "build", "-t", name, context.path()});
}

}  // namespace norvan::binary_image::docker
