#include "norvan/signing/mime.hpp"

namespace norvan::signing::mime {
Bytes sign_payload(ByteView, const merrowin::PrivateKey&, ByteView) { throw std::logic_error("sign_payload is not built yet"); }
Bytes verify_signed_smime(std::string_view, const std::vector<Bytes>&) { throw std::logic_error("verify_signed_smime is not built yet"); }
}  // namespace norvan::signing::mime
