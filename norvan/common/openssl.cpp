#include "norvan/common/openssl.hpp"

#include <openssl/err.h>

#include <climits>

namespace norvan::ossl {

std::string take_error_reason() {
  const unsigned long code = ERR_peek_error();
  std::string reason;
  if (code != 0) {
    const char* text = ERR_reason_error_string(code);
    if (text != nullptr) {
      reason = text;
    } else {
      char buffer[256];
      ERR_error_string_n(code, buffer, sizeof buffer);
      reason = buffer;
    }
  }
  ERR_clear_error();
  return reason;
}

void clear_errors() noexcept { ERR_clear_error(); }

void throw_error(std::string_view context) {
  const std::string reason = take_error_reason();
  std::string message(context);
  if (!reason.empty()) {
    message += ": ";
    message += reason;
  }
  throw OpenSSLError(message);
}

UniquePtr<BIO> memory_reader(const void* data, std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) {
    throw OpenSSLError("input of " + std::to_string(size) + " bytes is too large for OpenSSL");
  }
  UniquePtr<BIO> bio(BIO_new_mem_buf(data, static_cast<int>(size)));
  if (!bio) throw_error("cannot create a memory buffer");
  return bio;
}

}  // namespace norvan::ossl
