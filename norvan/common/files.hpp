#pragma once
// Reading whole files, bounded, with errors that name the file and the reason (through Input).

#include "norvan/common/bytes.hpp"
#include "norvan/common/error.hpp"
#include "norvan/common/input.hpp"
#include "norvan/common/secret_bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

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
/// '<path>': <reason>" when it is missing, unreadable or a directory, and when it holds more
/// than `limit` bytes ("...: it is larger than 16 MiB, the limit for this input"; nothing
/// beyond the limit is read).
Bytes read_file(const std::filesystem::path& path, std::string_view what = "file",
                std::size_t limit = kSmallFileLimit);

/// read_file for a secret (a private key): the bytes come back owned by SecretBytes, and no
/// other copy of them is left in memory, also when the file is a pipe read in many pieces.
SecretBytes read_secret_file(const std::filesystem::path& path, std::string_view what);

/// Throws FileError "<action> '<path>': <strerror(errnum)>".
[[noreturn]] void throw_file_error(std::string_view action, const std::filesystem::path& path,
                                   int errnum);

}  // namespace norvan

NORVAN_PUBLIC_END
