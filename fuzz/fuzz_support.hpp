#pragma once
// What the harnesses share: the fixed trust root and signer of fuzz/data.

#include "norvan/common/bytes.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace norvan::fuzz {

/// Returns the contents of fuzz/data/`name`; aborts when it cannot be read, since a harness
/// without its fixed inputs would fuzz nothing useful.
inline Bytes read_data_file(const std::string& name) {
  const std::string path = std::string(NORVAN_FUZZ_DATA_DIR) + "/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "Cannot read the fuzzing data file %s\n", path.c_str());
    std::abort();
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The payload that the signed_data seeds sign and the harness verifies against.
inline constexpr std::string_view kSignedPayload = "norvan fuzz payload\nsecond line\n";

}  // namespace norvan::fuzz
