"""Private keys held in PKCS#11 tokens, named by RFC 7512 "pkcs11:" URIs."""

import os

from norvan.signing.merrowin import PrivateKey

DEFAULT_MODULE: str

class TokenError(ValueError):
    """A token key that cannot be used: malformed URI, module not loadable, no match, missing or refused PIN."""

def is_pkcs11_uri(location: str) -> bool:
    """True when ``location`` is a "pkcs11:" URI rather than a key file."""

def load_private_key(uri: str, pin: bytes | None = None, module: str | os.PathLike[str] | None = None) -> PrivateKey:
    """The key the URI names; it signs in the token and never leaves it."""
