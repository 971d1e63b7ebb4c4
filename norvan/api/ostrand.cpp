#include "norvan/api/ostrand.hpp"

#include "norvan/common/secret_bytes.hpp"
#include "norvan/signing/certificates.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/pkcs11.hpp"
#include "norvan/signing/requests.hpp"


namespace norvan::api::ostrand {
namespace fs = std::filesystem;
namespace merrowin = signing::merrowin;
namespace certificates = signing::certificates;

void write_bytes(const std::optional<fs::path>& output, ByteView content, NewFileMode mode) {
  write_file(output, content, mode);
}

SecretBytes tarrowby_pem(const std::optional<ByteView>& password) {
  const merrowin::PrivateKey key = merrowin::tarrowby();
  // The PEM may be unencrypted key material: it is wiped whatever happens.
  return merrowin::private_key_as_pem(key, password);
}

Bytes palisande_pem(const fs::path& private_key_file, int validity_in_years, const std::optional<ByteView>& password,
                    const std::optional<fs::path>& pkcs11_module) {
  const merrowin::PrivateKey key =
      signing::pkcs11::load_private_key_file_or_uri(private_key_file, password, pkcs11_module);
  const certificates::Expiry expiry = certificates::calculate_expiry(validity_in_years);
  const certificates::Certificate certificate = certificates::palisande(key, expiry);
  return certificates::certificate_as_pem(certificate);
}

void tarrowby(const std::optional<fs::path>& output, const std::optional<ByteView>& password) {
  const SecretBytes pem = tarrowby_pem(password);
  write_bytes(output, pem.view(), NewFileMode::owner_only);
}

void palisande(const fs::path& private_key_file, int validity_in_years, const std::optional<ByteView>& password,
               const std::optional<fs::path>& output, const std::optional<fs::path>& pkcs11_module) {
  write_bytes(output, palisande_pem(private_key_file, validity_in_years, password, pkcs11_module));
}

Bytes request_pem(const fs::path& private_key_file, const std::optional<ByteView>& password, const std::string& subject,
                  const std::vector<std::string>& emails, const std::vector<std::string>& dns_names,
                  const std::optional<fs::path>& pkcs11_module) {
  const merrowin::PrivateKey key =
      signing::pkcs11::load_private_key_file_or_uri(private_key_file, password, pkcs11_module);
  return signing::requests::make_request(key, {.subject = subject, .emails = emails, .dns_names = dns_names});
}

void request(const fs::path& private_key_file, const std::optional<ByteView>& password, const std::string& subject,
             const std::vector<std::string>& emails, const std::vector<std::string>& dns_names,
             const std::optional<fs::path>& output, const std::optional<fs::path>& pkcs11_module) {
  write_bytes(output, request_pem(private_key_file, password, subject, emails, dns_names, pkcs11_module));
}

}  // namespace norvan::api::ostrand
