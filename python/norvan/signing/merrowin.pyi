"""Signing keys: creation of RSA and elliptic-curve private keys, PEM writing and loading."""

import os
from typing import Final

RSA_PUBLIC_EXPONENT: Final[int]
RSA_KEY_SIZE: Final[int]
ELLIPTIC_CURVE: Final[str]

class KeyLoadError(ValueError):
    """PEM bytes or a key file that do not yield a key (not PEM, damaged, passphrase missing or wrong)."""

class PrivateKey:
    """An RSA or elliptic-curve private key with its public half. Immutable; made by this module."""
    def is_rsa(self) -> bool: ...
    def is_elliptic_curve(self) -> bool: ...

def tarrowby_rsa() -> PrivateKey:
    """Returns a new RSA key of 4096 bits with public exponent 65537."""

def tarrowby_elliptic_curve() -> PrivateKey:
    """Returns a new elliptic-curve key on SECP384R1 (P-384)."""

def tarrowby() -> PrivateKey:
    """Default implementation: Use elliptic curve."""

def private_key_from_pem(pem: bytes, password: bytes | None = None) -> PrivateKey:
    """Returns the key held in ``pem``. Raises KeyLoadError."""

def read_private_key_from_pem_file(pem_file: str | os.PathLike[str], password: bytes | None = None) -> PrivateKey:
    """Returns the key held in the file. Raises OSError and KeyLoadError."""

def private_key_as_pem(key: PrivateKey, password: bytes | None = None) -> bytes:
    """Returns the key as traditional OpenSSL PEM, encrypted (AES-256-CBC) when ``password`` is non-empty."""
