"""Shared fixtures of the norvan binding tests: one elliptic-curve signer with its certificate."""

import base64
import dataclasses
import os
import pathlib

import pytest

import norvan

from norvan.signing import certificates, merrowin, mime


def pytest_configure(config):
    # Set by the tests of an installed copy: the package under test must be that copy.
    expected = os.environ.get("NORVAN_EXPECTED_PACKAGE")
    imported = pathlib.Path(norvan.__file__).resolve().parent
    if expected and imported != pathlib.Path(expected).resolve():
        raise pytest.UsageError(f"norvan imported from {imported}, not from {expected}")


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


def make_messages(signer: Signer, stranger: Signer, count: int) -> list[bytes]:
    """`count` signed messages, every tenth one not verifying: alternately with a changed payload
    (a HashValueError) and signed by `stranger`, whom no one trusts (a CertificateError)."""
    messages = []
    for index in range(count):
        payload = f"message {index}\n".encode() + b"x" * (index % 97) + b"\n"
        if index % 10 == 9 and index % 20 == 19:
            messages.append(mime.sign_payload(stranger.certificate, stranger.key, payload))
        elif index % 10 == 9:
            message = mime.sign_payload(signer.certificate, signer.key, payload)
            messages.append(message.replace(b"message ", b"massage ", 1))
        else:
            messages.append(mime.sign_payload(signer.certificate, signer.key, payload))
    return messages


def outcome(call, *args):
    """What `call(*args)` gives, comparable across processes: the result, or the type and text of
    what it raised."""
    try:
        return call(*args)
    except Exception as error:  # noqa: BLE001 - every failure is an outcome to compare
        return as_outcome(error)


def as_outcome(error: BaseException):
    return (type(error), str(error))
