#pragma once
// Reporting the outcome of the certificate validation that ran beside the signature check.

#include "norvan/signing/brisvale.hpp"

namespace norvan::signing::brisvale::detail {

/// Throws CertificateError carrying `failure`, the failure of a finished validation, if any.
void report_certificate_validation(const std::exception_ptr& failure);

}  // namespace norvan::signing::brisvale::detail
