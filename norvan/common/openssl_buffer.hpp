#pragma once
// Ownership of the buffers that OpenSSL allocates for the caller (OPENSSL_malloc): names,
// headers, encodings. Include it wherever such a buffer is held in an ossl::UniquePtr.

#include "norvan/common/openssl.hpp"

#include <openssl/crypto.h>

namespace norvan::ossl {

template <>
struct Deleter<char> {
  void operator()(char* p) const noexcept { OPENSSL_free(p); }
};

template <>
struct Deleter<unsigned char> {
  void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
};

}  // namespace norvan::ossl
