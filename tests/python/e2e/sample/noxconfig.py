"""The build configuration of the sample project: its root is this directory."""

import dataclasses
import pathlib


@dataclasses.dataclass(frozen=True)
class Config:
    root_path: pathlib.Path


PROJECT_CONFIG = Config(root_path=pathlib.Path(__file__).resolve().parent)
