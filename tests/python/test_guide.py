"""docs/python.md runs as written: its code blocks, in order, in one namespace, in an empty
directory. A block marked ```python is executed; one marked ```<language> file=NAME is written
to NAME for the blocks after it. Any other block fails the test, so nothing in the guide goes
unchecked."""

import os
import pathlib
import re
import sys

import pytest

GUIDE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "python.md"
FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(text):
    """(info string, code, line number) of each fenced block."""
    for match in FENCE.finditer(text):
        yield match.group(1).strip(), match.group(2), text.count("\n", 0, match.start()) + 1


def test_every_block_of_the_guide_runs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    # Debian's programs first, as the rest of the suite has them.
    monkeypatch.setenv("PATH", "/usr/bin:" + os.environ.get("PATH", ""))
    monkeypatch.syspath_prepend(str(tmp_path))  # files the guide writes (noxconfig.py) import from here
    namespace = {"__name__": "__main__"}
    executed = 0
    for info, code, line in blocks(GUIDE.read_text()):
        written = re.fullmatch(r"\w+ file=(\S+)", info)
        if written:
            (tmp_path / written.group(1)).write_text(code)
        elif info == "python":
            try:
                exec(compile(code, f"{GUIDE.name}:{line}", "exec"), namespace)
            except Exception as error:
                pytest.fail(f"the block at {GUIDE.name}:{line} raised {type(error).__name__}: {error}")
            executed += 1
        else:
            pytest.fail(f"the block at {GUIDE.name}:{line} is neither run nor written (```{info})")
    assert executed >= 8
    sys.modules.pop("noxconfig", None)
