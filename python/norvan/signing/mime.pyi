"""The S/MIME clear-signed message format: signing a payload and verifying a message."""

import os
from collections.abc import Iterable

from norvan.signing.merrowin import PrivateKey
from norvan.verification import VerificationError as VerificationError

class MessageFormatError(ValueError):
    """The message could not be taken apart at all. Not a VerificationError."""

def sign_payload(certificate: bytes, private_key: PrivateKey, payload: bytes) -> bytes:
    """Returns the S/MIME message (CR LF line ends) with a detached SHA-256 PKCS#7 signature over ``payload``."""

def verify_signed_smime(smime_message: str, trusted_certs: list[bytes] = ...) -> bytes:
    """Returns the unsigned payload when verification succeeds; raises a VerificationError otherwise."""

class Verifier:
    """Verifies any number of messages against trust roots gathered once; thread-safe and picklable."""

    def __init__(
        self,
        trusted_certs: bytes | Iterable[bytes] | None = None,
        trusted_dir: str | os.PathLike[str] | None = None,
    ) -> None:
        """Gathers the trust roots from ``trusted_certs`` (PEM or DER) and the ``*.pem`` files of ``trusted_dir``.

        Both None: the system's trust store; an empty list trusts nothing.
        """

    def verify(self, message: bytes | str) -> bytes:
        """Returns the payload of the signed message; raises what verify_signed_smime raises."""

    def verify_file(self, path: str | os.PathLike[str]) -> bytes:
        """Returns the payload of the signed message in the file ``path``."""

    def __getstate__(self) -> dict[str, object]: ...
    def __setstate__(self, state: dict[str, object]) -> None: ...
