// Links only norvan::mime: its public header names the types of norvan::merrowin,
// norvan::brisvale and norvan::verification, which must come along.
#include <norvan/signing/mime.hpp>

#include <iostream>

int main() {
  namespace mime = norvan::signing::mime;
  const auto key = norvan::signing::merrowin::tarrowby();
  try {
    mime::verify_signed_smime("Content-Type: text/plain\r\n\r\nno signature here\r\n");
  } catch (const norvan::verification::VerificationError& error) {
    std::cout << "mime: " << error.what() << "\n";
    return key.is_elliptic_curve() ? 0 : 1;
  }
  return 1;
}
