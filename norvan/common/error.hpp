#pragma once
// The base of every norvan error: a text a person can act on and a stable code by which
// callers and the command line tell errors apart.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// What kind of failure an error is. The values are stable; new ones are added at the end.
enum class ErrorCode {
  file = 1,                     // a file or directory could not be read or written
  crypto_library,               // OpenSSL refused or failed
  verification,                 // a signature did not verify (VerificationError and its three)
  malformed_signature,          // signature data that is malformed or uses something unsupported
  invalid_trusted_certificate,  // a trusted certificate that is no certificate
  certificate_validation,       // why a certificate failed validation (the cause of an error)
  message_format,               // a message that cannot be taken apart at all
  key_load,                     // a private key that cannot be loaded
  invalid_argument,             // an argument outside its range (a validity period, ...)
  conversion,                   // a project file that cannot be converted
  session_failed,               // a command run by the build tooling failed
  process,                      // a process could not be started or its output not read
  cleanup,                      // restoring a state after work failed
  certificate_format,           // a certificate file that holds no readable certificate
  revocation_list,              // a certificate revocation list that cannot be read
  token,                        // a PKCS#11 module, token or object that cannot be used
};

/// Returns the code's name as written above ("file", "verification", ...).
std::string_view error_code_name(ErrorCode code) noexcept;

/// The base of every norvan error. what() is the whole message.
class Error : public std::runtime_error {
 public:
  Error(ErrorCode code, const std::string& what) : std::runtime_error(what), code_(code) {}

  ErrorCode code() const noexcept { return code_; }

  /// The exit status this error dictates for the program (a failed child command's own), or
  /// nullopt when the program's own rules decide.
  virtual std::optional<int> exit_status() const noexcept { return std::nullopt; }

 private:
  ErrorCode code_;
};

}  // namespace norvan

NORVAN_PUBLIC_END
