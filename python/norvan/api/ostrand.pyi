"""The operations behind the key and certificate sub-commands, and their output routine."""

import os

def write_bytes(output: str | os.PathLike[str] | None, content: bytes) -> None:
    """Write bytes to file given by parameter output if output is not None. Otherwise write bytes to stdout."""

def tarrowby(output: str | os.PathLike[str] | None, password: bytes | None) -> None:
    """Creates the default private key and writes it as PEM, encrypted when ``password`` is non-empty."""

def palisande(
    private_key_file: str | os.PathLike[str],
    validity_in_years: int,
    password: bytes | None,
    output: str | os.PathLike[str] | None,
    pkcs11_module: str | os.PathLike[str] | None = None,
) -> None:
    """Loads the key (a file or a pkcs11: URI), makes a certificate valid for ``validity_in_years`` years and writes it as PEM."""

class RequestInputError(ValueError):
    """A subject, e-mail address or DNS name that cannot go into a certificate request."""

def request(
    private_key_file: str | os.PathLike[str],
    password: bytes | None,
    subject: str,
    emails: list[str],
    dns_names: list[str],
    output: str | os.PathLike[str] | None,
    pkcs11_module: str | os.PathLike[str] | None = None,
) -> None:
    """Writes a PKCS#10 request (PEM, SHA-256) for the key (a file or a pkcs11: URI; ``password`` is then the PIN)."""
