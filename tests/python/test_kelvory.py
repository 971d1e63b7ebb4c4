"""hatch_project_setup as a context manager, with a session object and a noxconfig module."""

import os
import sys
import types

import pytest

from norvan.binary_image import drovane
from norvan.binary_image.kelvory import hatch_project_setup

PYPROJECT = b"""\
# kept in Poetry form
[project]
name = "sample"
version = "0.1.0"
dependencies = []
requires-python = ">=3.9"

[build-system]
requires = ["poetry-core"]
build-backend = "poetry.core.masonry.api"
"""


class Session:
    """Stands in for nox.Session: only chdir is used here."""

    def __init__(self):
        self.directories = []

    def chdir(self, path):
        self.directories.append(path)
        os.chdir(path)


@pytest.fixture
def project(tmp_path, monkeypatch):
    root = tmp_path / "project"
    root.mkdir()
    (root / "pyproject.toml").write_bytes(PYPROJECT)
    config = types.ModuleType("noxconfig")
    config.PROJECT_CONFIG = types.SimpleNamespace(root_path=root)
    monkeypatch.setitem(sys.modules, "noxconfig", config)
    monkeypatch.chdir(tmp_path)
    return root


def test_scope_puts_the_hatch_form_in_place_and_restores_it(project, capsys):
    session = Session()
    with hatch_project_setup(session) as value:
        assert value is None
        assert os.getcwd() == str(project)
        during = (project / "pyproject.toml").read_text()
        assert during.endswith('[build-system]\nbuild-backend = "hatchling.build"\nrequires = ["hatchling"]\n')
        assert (project / "_tmp" / "poetry_pyproject.toml").read_bytes() == PYPROJECT
    assert session.directories == [str(project)]
    assert (project / "pyproject.toml").read_bytes() == PYPROJECT
    assert not (project / "_tmp").exists()
    assert capsys.readouterr().out == "Content of _tmp/hatch_pyproject.toml:\n " + during + "\n"


def test_the_blocks_exception_propagates_unchanged_after_the_clean_up(project):
    error = RuntimeError("build step failed")
    with pytest.raises(RuntimeError) as caught:
        with hatch_project_setup(Session()):
            raise error
    assert caught.value is error
    assert (project / "pyproject.toml").read_bytes() == PYPROJECT
    assert not (project / "_tmp").exists()

    with pytest.raises(KeyboardInterrupt):
        with hatch_project_setup(Session()):
            raise KeyboardInterrupt
    assert (project / "pyproject.toml").read_bytes() == PYPROJECT


def test_exit_returns_false(project):
    scope = hatch_project_setup(Session())
    scope.__enter__()
    assert scope.__exit__(None, None, None) is False
    with pytest.raises(ValueError):
        scope.__enter__()


def test_a_failing_conversion_fails_the_entry_and_restores(project):
    (project / "pyproject.toml").write_bytes(PYPROJECT.replace(b'requires-python = ">=3.9"\n', b""))
    before = (project / "pyproject.toml").read_bytes()
    entered = False
    with pytest.raises(drovane.MissingKeyError):
        with hatch_project_setup(Session()):
            entered = True
    assert not entered
    assert (project / "pyproject.toml").read_bytes() == before
    assert not (project / "_tmp").exists()


def test_the_sessions_error_and_a_missing_noxconfig_propagate(project, monkeypatch):
    class RefusingSession:
        def chdir(self, path):
            raise PermissionError(13, "no entry", str(path))

    with pytest.raises(PermissionError) as caught:
        with hatch_project_setup(RefusingSession()):
            pass
    assert caught.value.filename == str(project)

    monkeypatch.delitem(sys.modules, "noxconfig")
    monkeypatch.setattr(sys, "path", [p for p in sys.path if not os.path.isfile(os.path.join(p, "noxconfig.py"))])
    with pytest.raises(ModuleNotFoundError):
        with hatch_project_setup(Session()):
            pass


def test_a_failing_clean_up_reports_its_own_error_with_the_block_error_as_context(project):
    with pytest.raises(OSError) as caught:
        with hatch_project_setup(Session()):
            (project / "_tmp" / "poetry_pyproject.toml").unlink()
            raise RuntimeError("the build failed")
    assert isinstance(caught.value.__context__, RuntimeError)
    assert (project / "_tmp").exists()  # a failed restore leaves the work directory
