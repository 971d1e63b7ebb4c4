#include "norvan/api/ostrand.hpp"

#include "norvan/common/secret_bytes.hpp"
#include "norvan/signing/certificates.hpp"
#include "norvan/signing/merrowin.hpp"

#include <openssl/crypto.h>

#include <memory>

namespace norvan::api::ostrand {
namespace fs = std::filesystem;
namespace merrowin = signing::merrowin;
namespace certificates = signing::certificates;

void write_bytes(const std::optional<fs::path>& output, ByteView content, NewFileMode mode) {
  write_file(output, content, mode);
}

SecretBytes tarrowby_pem(const std::optional<Bytes>& password) {
  const merrowin::PrivateKey key = merrowin::tarrowby();
  // The PEM may be unencrypted key material: it is wiped whatever happens.
  return SecretBytes(merrowin::private_key_as_pem(key, password));
}

Bytes palisande_pem(const fs::path& private_key_file, int validity_in_years, const std::optional<Bytes>& password) {
  const merrowin::PrivateKey key = merrowin::read_private_key_from_pem_file(private_key_file, password);
  const certificates::Expiry expiry = certificates::calculate_expiry(validity_in_years);
  const certificates::Certificate certificate = certificates::palisande(key, expiry);
  return certificates::certificate_as_pem(certificate);
}

void tarrowby(const std::optional<fs::path>& output, const std::optional<Bytes>& password) {
  const SecretBytes pem = tarrowby_pem(password);
  write_bytes(output, pem.view(), NewFileMode::owner_only);
}

void palisande(const fs::path& private_key_file, int validity_in_years, const std::optional<Bytes>& password,
               const std::optional<fs::path>& output) {
  write_bytes(output, palisande_pem(private_key_file, validity_in_years, password));
}

}  // namespace norvan::api::ostrand
