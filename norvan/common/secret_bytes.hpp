#pragma once
// Bytes that hold secrets (key material, passphrases), wiped when they are no longer needed.

#include "norvan/common/bytes.hpp"

#include <utility>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// Owns bytes that must not outlive their use: they are overwritten (OPENSSL_cleanse, which
/// the compiler cannot drop) when the object is destroyed or assigned over. Move-only.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(Bytes bytes) noexcept : bytes_(std::move(bytes)) {}
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      wipe();
      bytes_ = std::move(other.bytes_);
      other.bytes_.clear();
    }
    return *this;
  }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(); }

  const Bytes& bytes() const noexcept { return bytes_; }
  ByteView view() const noexcept { return bytes_; }
  /// A view of the bytes, so that a secret is handed on without a copy (a passphrase given as
  /// std::optional<SecretBytes> where std::optional<ByteView> is taken).
  operator ByteView() const noexcept { return bytes_; }

 private:
  // Out of line, so that users of this header need not link libcrypto themselves.
  void wipe() noexcept;
  Bytes bytes_;
};

}  // namespace norvan

NORVAN_PUBLIC_END
