#pragma once
// Helpers for the test programs.

#include "norvan/common/bytes.hpp"

#include <filesystem>
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

/// Runs the norvan program with `args`.
ProcessResult run_norvan(const std::vector<std::string>& args, std::string_view input = {});

}  // namespace norvan::testing
