// Makes a key and a certificate with the installed norvan libraries and prints the certificate.
#include <norvan/api/ostrand.hpp>
#include <norvan/signing/certificates.hpp>
#include <norvan/signing/merrowin.hpp>

#include <iostream>

int main() {
  namespace merrowin = norvan::signing::merrowin;
  namespace certificates = norvan::signing::certificates;
  const auto key = merrowin::tarrowby();
  const auto certificate = certificates::palisande(key, certificates::calculate_expiry(1));
  norvan::api::ostrand::write_bytes(std::nullopt, certificates::certificate_as_pem(certificate));
  return key.is_elliptic_curve() ? 0 : 1;
}
