#include "norvan/signing/brisvale.hpp"

namespace norvan::signing::brisvale {
Bytes verify(ByteView, Bytes, const std::optional<std::vector<Bytes>>&, const std::optional<std::filesystem::path>&) {
  throw std::logic_error("brisvale::verify is not built yet");
}
}  // namespace norvan::signing::brisvale
