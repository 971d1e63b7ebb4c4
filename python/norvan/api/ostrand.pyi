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
) -> None:
    """Loads the key, makes a certificate valid for ``validity_in_years`` years and writes it as PEM."""
