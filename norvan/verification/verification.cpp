#include "norvan/verification/verification.hpp"

namespace norvan::verification {

VerificationError::VerificationError(const std::string& message, std::exception_ptr cause)
    : Error(ErrorCode::verification, message), cause_(std::move(cause)) {}

std::string VerificationError::cause_text() const {
  if (!cause_) return {};
  try {
    std::rethrow_exception(cause_);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return {};
  }
}

}  // namespace norvan::verification
