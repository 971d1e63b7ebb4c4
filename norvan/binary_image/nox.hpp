#pragma once
// The task runner's session: the two things the build tooling asks of it, changing the working
// directory and ending the session as failed.

#include "norvan/common/error.hpp"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::binary_image::nox {

/// The session a build script runs in. The build tooling borrows it for the length of one call.
class Session {
 public:
  virtual ~Session() = default;

  /// Makes `path` the process's working directory before returning; throws when it cannot.
  /// The working directory belongs to the whole process, not to the calling thread.
  virtual void chdir(const std::filesystem::path& path) = 0;

  /// Ends the session as failed because a command ended with `code` (minus the signal number
  /// for a command killed by a signal). Implementations normally throw; one that returns lets
  /// the caller carry on.
  virtual void error(int code) = 0;

  /// Writes `text` to the session's standard output and flushes it; throws when it cannot. The
  /// default writes to std::cout. A session embedded in another runtime (a Python task runner)
  /// routes it to that runtime's own stream.
  virtual void write_output(std::string_view text);

  /// Writes `text` to the session's standard error and flushes it; throws when it cannot. The
  /// default writes to std::cerr.
  virtual void write_error_output(std::string_view text);
};

/// Thrown by DefaultSession::error: the session failed with the exit code it carries.
class SessionError : public Error {
 public:
  explicit SessionError(int exit_code);
  /// The exit code handed to Session::error.
  int exit_code() const noexcept { return exit_code_; }
  /// The failed command's status as shells report it: its own, or 128 plus the number of the
  /// signal that ended it.
  std::optional<int> exit_status() const noexcept override;

 private:
  int exit_code_;
};

/// The session of a build step run outside a task runner: chdir changes the process's
/// working directory (throws std::filesystem::filesystem_error naming the directory) and
/// error throws SessionError with the exit code. Holds no state.
class DefaultSession : public Session {
 public:
  void chdir(const std::filesystem::path& path) override;
  [[noreturn]] void error(int code) override;
};

}  // namespace norvan::binary_image::nox

NORVAN_PUBLIC_END
