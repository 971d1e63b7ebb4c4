#include "tests/support/base64.hpp"

#include <openssl/evp.h>

namespace norvan::testing {

std::string base64(ByteView der) {
  std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
  text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der.data(),
                                                       static_cast<int>(der.size()))));
  return text;
}

}  // namespace norvan::testing
