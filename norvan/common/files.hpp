#pragma once
// Whole-file reading with errors that name the file and the reason.

#include "norvan/common/bytes.hpp"
#include "norvan/common/error.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace norvan {

/// A file-system failure; its text names the path and the operating system's reason.
class FileError : public Error {
 public:
  FileError(const std::string& what, std::filesystem::path path, std::error_code code)
      : Error(ErrorCode::file, what), path_(std::move(path)), code_(code) {}
  const std::filesystem::path& path() const noexcept { return path_; }
  std::error_code code() const noexcept { return code_; }

 private:
  std::filesystem::path path_;
  std::error_code code_;
};

/// Returns the whole contents of the file at `path`. Throws FileError "Cannot read <what>
/// '<path>': <reason>" when it is missing, unreadable or a directory.
Bytes read_file(const std::filesystem::path& path, std::string_view what = "file");

/// Returns everything left on standard input, up to its end. Throws FileError "Cannot read
/// <what> from standard input: <reason>".
Bytes read_standard_input(std::string_view what = "data");

/// Throws FileError "<action> '<path>': <strerror(errnum)>".
[[noreturn]] void throw_file_error(std::string_view action, const std::filesystem::path& path,
                                   int errnum);

}  // namespace norvan
