#pragma once
// Reporting the outcome of the certificate validation that ran beside the signature check.

#include "norvan/signing/brisvale.hpp"

namespace norvan::signing::brisvale::detail {

/// Throws CertificateError carrying the failure of the finished validation `thread`, if any.
void report_certificate_validation(const CertificateValidatorThread& thread);

}  // namespace norvan::signing::brisvale::detail
