// Fuzzes the project-file conversion on raw pyproject.toml text: the TOML reader, the five
// converters and the TOML writer. convert_drovane reads and writes files, so each run writes
// the input into one private temporary directory, removed when the fuzzer exits. Reported
// errors (std::runtime_error, toml::exception) are expected; anything else is a finding.

#include "norvan/binary_image/drovane.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// A directory of our own under the temporary location, removed with its contents at exit.
class WorkDirectory {
 public:
  WorkDirectory() {
    std::string pattern = (fs::temp_directory_path() / "norvan-fuzz-pyproject-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;
  ~WorkDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const noexcept { return path_; }

 private:
  fs::path path_;
};

const WorkDirectory& work_directory() {
  static const WorkDirectory directory;
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path input = work_directory().path() / "pyproject.toml";
  const fs::path output = work_directory().path() / "hatch_pyproject.toml";
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
  }
  try {
    norvan::binary_image::drovane::convert_drovane(input, output);
  } catch (const std::runtime_error&) {
    // Missing keys, unreadable or unwritable files: expected.
  } catch (const toml::exception&) {
    // Syntax and type errors of the TOML reader: expected.
  }
  return 0;
}
