"""Conversion of a Poetry-form pyproject.toml into a Hatch (hatchling) project file."""

import os
from typing import Any, Final

BUILD_SYSTEM: Final[str]
DISABLE_KEY_RING: Final[str]
DISABLE_MULTIPLE_PACKAGES: Final[str]

class ConversionError(ValueError):
    """A project file that cannot be converted."""

class MissingKeyError(ConversionError, KeyError):
    """A required key (or the [project] table) is missing; ``key`` names it."""

    key: str

class TomlSyntaxError(ConversionError):
    """The project file is not valid TOML."""

def convert_drovane(poetry_file: str | os.PathLike[str], hatch_file: str | os.PathLike[str]) -> None:
    """Reads ``poetry_file``, converts its [project] table and writes the Hatch project file ``hatch_file``."""

def write_hatch_pyproject_toml(hatch_data: dict[str, Any], hatch_file: str | os.PathLike[str]) -> None:
    """Writes ``hatch_data`` as TOML followed by the [build-system] table."""

def convert_mandatory_metadata(hatch_data: dict[str, Any], poetry_data: dict[str, Any]) -> None:
    """Copies ``name`` and ``version``."""

def convert_optional_metadata(hatch_data: dict[str, Any], poetry_data: dict[str, Any]) -> None:
    """Copies five optional keys with defaults."""

def convert_license(hatch_data: dict[str, Any], poetry_data: dict[str, Any]) -> None:
    """Sets the normalised ``license``."""

def convert_authors(hatch_data: dict[str, Any], poetry_data: dict[str, Any]) -> None:
    """Sets ``authors`` to authors followed by maintainers."""

def convert_dependencies(hatch_data: dict[str, Any], poetry_data: dict[str, Any]) -> None:
    """Copies ``dependencies`` and ``requires-python``."""
