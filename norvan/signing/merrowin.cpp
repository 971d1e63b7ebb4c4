#include "norvan/signing/merrowin.hpp"
namespace norvan::signing::merrowin {
PrivateKey::PrivateKey(ossl::UniquePtr<EVP_PKEY> key) : key_(key.release(), EVP_PKEY_free) {}
bool PrivateKey::is_rsa() const noexcept { return EVP_PKEY_is_a(key_.get(), "RSA"); }
bool PrivateKey::is_elliptic_curve() const noexcept { return EVP_PKEY_is_a(key_.get(), "EC"); }
}  // namespace norvan::signing::merrowin
