#include "norvan/common/error.hpp"

namespace norvan {

std::string_view error_code_name(ErrorCode code) noexcept {
  switch (code) {
    case ErrorCode::file: return "file";
    case ErrorCode::crypto_library: return "crypto_library";
    case ErrorCode::verification: return "verification";
    case ErrorCode::malformed_signature: return "malformed_signature";
    case ErrorCode::invalid_trusted_certificate: return "invalid_trusted_certificate";
    case ErrorCode::certificate_validation: return "certificate_validation";
    case ErrorCode::message_format: return "message_format";
    case ErrorCode::key_load: return "key_load";
    case ErrorCode::invalid_argument: return "invalid_argument";
    case ErrorCode::conversion: return "conversion";
    case ErrorCode::session_failed: return "session_failed";
    case ErrorCode::process: return "process";
    case ErrorCode::cleanup: return "cleanup";
    case ErrorCode::certificate_format: return "certificate_format";
    case ErrorCode::revocation_list: return "revocation_list";
    case ErrorCode::token: return "token";
  }
  return "unknown";
}

}  // namespace norvan
