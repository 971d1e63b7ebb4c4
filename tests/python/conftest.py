"""Shared fixtures of the norvan binding tests: one elliptic-curve signer with its certificate."""

import base64
import dataclasses

import pytest

from norvan.signing import certificates, merrowin


@dataclasses.dataclass(frozen=True)
class Signer:
    key: merrowin.PrivateKey
    certificate: bytes  # PEM

    @property
    def certificate_der(self) -> bytes:
        body = b"".join(line for line in self.certificate.splitlines() if not line.startswith(b"-----"))
        return base64.b64decode(body)


def make_signer() -> Signer:
    key = merrowin.tarrowby()
    certificate = certificates.palisande(key, certificates.calculate_expiry(1))
    return Signer(key, certificates.certificate_as_pem(certificate))


@pytest.fixture(scope="session")
def signer() -> Signer:
    return make_signer()


@pytest.fixture(scope="session")
def other_signer() -> Signer:
    return make_signer()
