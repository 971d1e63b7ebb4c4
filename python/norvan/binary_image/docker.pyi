"""Running commands for build scripts, and building Docker images from Dockerfile text."""

from collections.abc import Sequence
from typing import Protocol

class _Session(Protocol):
    def error(self, code: int, /) -> object: ...

class DecodingError(UnicodeError):
    """A command's captured output was not UTF-8 text."""

def run_subprocess(session: _Session, args: Sequence[object], verbose: bool = False) -> None:
    """Runs ``args`` (each turned into text with str()); on failure prints the red report and calls session.error."""

def build_docker_image(session: _Session, name: str, dockerfile_content: str) -> None:
    """Builds the image ``name`` from the Dockerfile text through ``docker build``."""
