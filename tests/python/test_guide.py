"""docs/python.md and the README's cluster program run as written: its code blocks, in order, in one namespace, in an empty
directory. A block marked ```python is executed; one marked ```<language> file=NAME is written
to NAME for the blocks after it. Any other block fails the test, so nothing in the guide goes
unchecked."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import make_messages, outcome
from norvan.signing import mime

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


README = GUIDE.parents[1] / "README.md"


def test_the_readme_cluster_program_verifies_and_reports_each_failure(signer, other_signer, tmp_path):
    (section,) = re.findall(r"^### Beyond one machine.*?^```python\n(.*?)^```$", README.read_text(), re.M | re.S)
    program = tmp_path / "verify_on_cluster.py"
    program.write_text(section)
    (tmp_path / "certificate.pem").write_bytes(signer.certificate)
    paths = []
    for index, message in enumerate(make_messages(signer, other_signer, 20)):
        paths.append(tmp_path / f"{index:02}.eml")
        paths[-1].write_bytes(message)
    result = subprocess.run([sys.executable, str(program), "certificate.pem", *map(str, paths)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 1, result.stderr
    assert "18 of 20 messages verified" in result.stdout
    failures = [line for line in result.stderr.splitlines() if line.startswith(str(tmp_path))]
    assert failures == [
        f"{paths[9]}: HashValueError: Different hash values for raw and signed payload digests",
        f"{paths[19]}: CertificateError: {outcome(mime.Verifier([signer.certificate]).verify_file, paths[19])[1]}",
    ]
    assert (tmp_path / "00.payload").read_bytes() == mime.Verifier([signer.certificate]).verify_file(paths[0])
    assert not (tmp_path / "09.payload").exists()
