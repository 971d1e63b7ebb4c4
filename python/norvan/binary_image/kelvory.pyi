"""A scoped set-up that puts the Hatch form of pyproject.toml in place around build work."""

from types import TracebackType
from typing import Literal, Protocol

class _Session(Protocol):
    def chdir(self, path: str) -> object: ...

class HatchProjectSetup:
    """The context manager made by hatch_project_setup; serves one ``with`` block."""
    def __enter__(self) -> None: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

def hatch_project_setup(session: _Session) -> HatchProjectSetup:
    """Puts the Hatch form of pyproject.toml in place (root: noxconfig.PROJECT_CONFIG.root_path) for the block."""
