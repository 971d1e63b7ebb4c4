#pragma once
// Helpers for the test programs.

#include "norvan/common/bytes.hpp"

#include <gtest/gtest.h>

#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace norvan::testing {

/// A fresh directory under the system's temporary location, removed with its contents when
/// the object is destroyed.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::filesystem::path& path() const noexcept { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// Writes `content` to `path`, replacing it.
void write_file(const std::filesystem::path& path, std::string_view content);

/// Returns the contents of `path` as text.
std::string read_text(const std::filesystem::path& path);

/// What a finished child process left behind.
struct ProcessResult {
  int exit_status = -1;  // the exit status, or -signal when a signal ended it
  std::string out;
  std::string err;
};

/// Runs `argv` (argv[0] looked up on PATH) with `input` on its standard input and returns its
/// exit status and both output streams.
ProcessResult run_process(const std::vector<std::string>& argv, std::string_view input = {});

/// Runs `call`, which must throw an `Error` whose text contains `fragment`; records a test
/// failure otherwise (no error, or an error of another type).
template <class Error>
void expect_error(const std::function<void()>& call, const std::string& fragment) {
  try {
    call();
    ADD_FAILURE() << "no error, expected one containing: " << fragment;
  } catch (const Error& error) {
    EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos)
        << "text: " << error.what() << "\nexpected to contain: " << fragment;
  } catch (const std::exception& error) {
    ADD_FAILURE() << "wrong error type: " << error.what();
  }
}

/// Runs the norvan program with `args`.
ProcessResult run_norvan(const std::vector<std::string>& args, std::string_view input = {});

/// The norvan program running with `args` (and `environment` added to ours), its standard
/// input a pipe that the test feeds, its output discarded. Killed and reaped when destroyed.
class RunningNorvan {
 public:
  explicit RunningNorvan(const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& environment = {});
  RunningNorvan(const RunningNorvan&) = delete;
  RunningNorvan& operator=(const RunningNorvan&) = delete;
  ~RunningNorvan();

  /// Writes `bytes` to its standard input; returns once the pipe has taken them all, that is
  /// once the program has read all but the last pipe buffer's worth. False when it has gone.
  bool feed(std::string_view bytes);

  /// Sends `signal` and waits for the end: the exit status, or -signal when a signal ended it.
  int kill_and_wait(int signal);

 private:
  int wait();
  int pid_ = -1;
  int input_ = -1;
};

}  // namespace norvan::testing
