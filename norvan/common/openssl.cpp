#include "norvan/common/openssl.hpp"

#include <openssl/asn1err.h>
#include <openssl/err.h>
#include <openssl/evperr.h>
#include <openssl/pemerr.h>

#include <climits>

namespace norvan::ossl {

namespace {

// The reasons a person meets when a file holds something else than expected, in words that
// need no knowledge of PEM or ASN.1 internals. Empty for any other reason.
std::string plain_reason(unsigned long code) {
  const int library = ERR_GET_LIB(code);
  const int reason = ERR_GET_REASON(code);
  if (library == ERR_LIB_PEM && reason == PEM_R_NO_START_LINE) return "no PEM block of the expected kind was found";
  if (library == ERR_LIB_PEM && (reason == PEM_R_BAD_BASE64_DECODE || reason == PEM_R_BAD_END_LINE ||
                                 reason == PEM_R_SHORT_HEADER)) {
    return "the PEM block is damaged";
  }
  if (library == ERR_LIB_ASN1) return "the DER encoding is malformed";
  if (library == ERR_LIB_EVP && reason == EVP_R_BAD_DECRYPT) return "decryption failed";
  return {};
}

}  // namespace

std::string take_error_reason() {
  const unsigned long code = ERR_peek_error();
  std::string reason;
  if (code != 0) reason = plain_reason(code);
  if (code != 0 && reason.empty()) {
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
