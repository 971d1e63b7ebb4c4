#pragma once
// The common error type of signature verification.

#include "norvan/common/error.hpp"

#include <exception>
#include <stdexcept>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::verification {

/// A verification that failed: the message says what did not verify (it may be empty), and
/// `cause()` holds the underlying failure when there is one.
class VerificationError : public Error {
 public:
  explicit VerificationError(const std::string& message, std::exception_ptr cause = nullptr);

  /// The failure that led to this error, or null.
  const std::exception_ptr& cause() const noexcept { return cause_; }

  /// The text of the cause ("" when there is none or it carries no text).
  std::string cause_text() const;

  /// The name of the error's type, as shown to users ("VerificationError", ...).
  virtual const char* type_name() const noexcept { return "VerificationError"; }

 private:
  std::exception_ptr cause_;
};

}  // namespace norvan::verification

NORVAN_PUBLIC_END
