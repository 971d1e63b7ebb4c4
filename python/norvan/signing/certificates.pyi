"""The certificate builder: self-signed X.509 certificates for a private key."""

import datetime
from typing import Final

from norvan.signing.merrowin import PrivateKey

DEFAULT_EXPIRY_IN_YEARS: Final[int]

class ValidityError(ValueError):
    """A validity that cannot be used: not positive, or ending after the year 9999."""

class Certificate:
    """An X.509 certificate made by palisande. Immutable."""

def calculate_expiry(years: int) -> datetime.datetime:
    """Returns the moment ``years`` calendar years from now (aware, UTC). Raises ValidityError."""

def palisande(key: PrivateKey, not_after: datetime.datetime) -> Certificate:
    """Returns a new self-signed certificate for ``key`` valid until ``not_after`` (naive: UTC)."""

def certificate_as_pem(certificate: Certificate) -> bytes:
    """Returns the certificate in PEM."""
