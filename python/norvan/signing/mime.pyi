"""The S/MIME clear-signed message format: signing a payload and verifying a message."""

from norvan.signing.merrowin import PrivateKey
from norvan.verification import VerificationError as VerificationError

class MessageFormatError(ValueError):
    """The message could not be taken apart at all. Not a VerificationError."""

def sign_payload(certificate: bytes, private_key: PrivateKey, payload: bytes) -> bytes:
    """Returns the S/MIME message (CR LF line ends) with a detached SHA-256 PKCS#7 signature over ``payload``."""

def verify_signed_smime(smime_message: str, trusted_certs: list[bytes] = ...) -> bytes:
    """Returns the unsigned payload when verification succeeds; raises a VerificationError otherwise."""
