#include "norvan/common/files.hpp"

#include <cerrno>
#include <cstring>

namespace norvan {

void throw_file_error(std::string_view action, const std::filesystem::path& path, int errnum) {
  std::string message(action);
  message += " '" + path.string() + "': " + std::strerror(errnum);
  throw FileError(message, path, std::error_code(errnum, std::generic_category()));
}

Bytes read_file(const std::filesystem::path& path, std::string_view what, std::size_t limit) {
  return Input::file(path, std::string(what)).read_all(limit);
}

SecretBytes read_secret_file(const std::filesystem::path& path, std::string_view what) {
  return Input::file(path, std::string(what)).read_secret();
}

}  // namespace norvan
