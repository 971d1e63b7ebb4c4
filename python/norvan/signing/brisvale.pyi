"""Verification of detached CMS SignedData signatures and of the signer's certificate."""

import os

from norvan.verification import VerificationError as VerificationError

class HashValueError(VerificationError):
    """Raw and signed payload digests have different hash values."""

class SignatureError(VerificationError):
    """Verification of Signature failed (the failure is ``__cause__``), or its algorithm is unknown."""

class CertificateError(VerificationError):
    """The signer's certificate cannot be verified, or is untrusted, expired, or may not sign."""

class MalformedSignatureError(ValueError):
    """Signature data that is malformed or uses something unsupported. Not a VerificationError."""

class InvalidTrustedCertificateError(ValueError):
    """A trusted-certificate entry or file that is not a certificate. Not a VerificationError."""

class InvalidRevocationListError(ValueError):
    """A certificate revocation list that is no CRL in PEM or DER; the message names the list."""

class PolicyError(ValueError):
    """Verification options that cannot be used together, or an unknown purpose."""

class TimeFormatError(ValueError):
    """A time text that is not an RFC 3339 date-time."""

class CertificateValidationFailure(Exception):
    """Why a certificate failed validation; the ``__cause__`` of CertificateError."""

    error_code: int
    depth: int

class VerifyData:
    """The verification record: trust roots gathered once, any number of verifications."""
    def __init__(
        self,
        trustedCerts: list[bytes] | None = None,
        systemCertsPath: str | os.PathLike[str] | None = None,
    ) -> None: ...
    def verify(self, datas: bytes, datau: bytes) -> bytes:
        """Return unsigned payload in case of successful verification. Otherwise raises a VerificationError."""

def verify(
    datas: bytes,
    datau: bytes,
    certs: list[bytes] | None,
    systemCertsPath: str | os.PathLike[str] | None = None,
) -> bytes:
    """Return unsigned payload in case of successful verification. Otherwise raises a VerificationError."""
