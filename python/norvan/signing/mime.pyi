"""The S/MIME clear-signed message format: signing a payload and verifying a message."""

import datetime
import os
from collections.abc import Iterable, Sequence
from typing import Literal

from norvan.signing.merrowin import PrivateKey
from norvan.verification import VerificationError as VerificationError

class MessageFormatError(ValueError):
    """The message could not be taken apart at all. Not a VerificationError."""

def sign_payload(
    certificate: bytes,
    private_key: PrivateKey,
    payload: bytes,
    *,
    chain: Sequence[bytes] | None = None,
    rfc8551: bool = False,
    entity: bool = False,
    opaque: bool = False,
) -> bytes:
    """Returns the S/MIME message (CR LF line ends) with a detached SHA-256 PKCS#7 signature over ``payload``.

    ``chain``: PEM intermediates put after the signer's certificate. ``rfc8551``: sign as mail clients do
    (``entity``: the payload is a ready MIME entity; ``opaque``: application/pkcs7-mime).
    """

def verify_signed_smime(smime_message: str, trusted_certs: list[bytes] = ...) -> bytes:
    """Returns the unsigned payload when verification succeeds; raises a VerificationError otherwise."""

class Verifier:
    """Verifies any number of messages against trust roots gathered once; thread-safe and picklable."""

    def __init__(
        self,
        trusted_certs: bytes | Iterable[bytes] | None = None,
        trusted_dir: str | os.PathLike[str] | None = None,
        *,
        crls: Iterable[bytes | tuple[bytes, str] | str | os.PathLike[str]] | None = None,
        at_time: datetime.datetime | str | None = None,
        at_signing_time: bool = False,
        purpose: Literal["smime", "codesign", "any"] | None = None,
        rfc8551: bool = False,
        body: bool = False,
    ) -> None:
        """Gathers the trust roots from ``trusted_certs`` (PEM or DER) and the ``*.pem`` files of ``trusted_dir``.

        Both None: the system's trust store; an empty list trusts nothing. The keywords add CRLs, a
        validation time, a required purpose and the RFC 8551 mode; all are off by default.
        """

    def verify(self, message: bytes | str) -> bytes:
        """Returns the payload of the signed message; raises what verify_signed_smime raises."""

    def verify_file(self, path: str | os.PathLike[str]) -> bytes:
        """Returns the payload of the signed message in the file ``path``."""

    def verify_files(
        self,
        paths: Iterable[str | os.PathLike[str]],
        jobs: int | None = None,
        output_dir: str | os.PathLike[str] | None = None,
    ) -> list[bytes | BaseException | None]:
        """One outcome per path, in order: the payload, or the exception verify_file raises for it alone.

        With ``output_dir`` the payloads are written there and a success is None.
        """

    def __getstate__(self) -> dict[str, object]: ...
    def __setstate__(self, state: dict[str, object]) -> None: ...
