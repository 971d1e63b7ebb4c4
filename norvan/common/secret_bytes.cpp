#include "norvan/common/secret_bytes.hpp"

#include <openssl/crypto.h>

namespace norvan {

void SecretBytes::wipe() noexcept {
  OPENSSL_cleanse(bytes_.data(), bytes_.size());
  bytes_.clear();
}

}  // namespace norvan
