#include "norvan/signing/mime/gmime.hpp"

#include <mutex>

namespace norvan::signing::mime::detail {

void initialise_gmime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

}  // namespace norvan::signing::mime::detail
