"""Real nox sessions on a sample project: a hatchling wheel inside hatch_project_setup, and
container images through podman's docker command."""

import email.parser
import os
import re
import shutil
import subprocess
import sys
import uuid
import zipfile

import pytest
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet

SAMPLE = os.path.join(os.path.dirname(__file__), "sample")
RED_REPORT = "\x1b[31msubprocess.run() returned exit code: "


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "sample"
    shutil.copytree(SAMPLE, root)
    return root


def nox(project, *arguments):
    # Debian's programs first: another python3 and another docker come earlier on PATH here.
    env = dict(os.environ, PATH="/usr/bin:" + os.environ["PATH"])
    return subprocess.run([sys.executable, "-m", "nox", "-f", "noxfile.py", *arguments], cwd=project, env=env,
                          capture_output=True, text=True, timeout=600)


def wheel_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        name = next(n for n in archive.namelist() if n.endswith(".dist-info/METADATA"))
        return email.parser.Parser().parsestr(archive.read(name).decode())


def test_wheel_is_built_by_hatchling_with_the_converted_metadata(project):
    pyproject = (project / "pyproject.toml").read_bytes()
    result = nox(project, "-s", "wheel")
    assert result.returncode == 0, result.stderr
    assert "Content of _tmp/hatch_pyproject.toml:" in result.stdout
    assert (project / "pyproject.toml").read_bytes() == pyproject
    assert not (project / "_tmp").exists()

    (wheel,) = (project / "dist").glob("*.whl")
    assert wheel.name == "sample_pkg-1.4.2-py3-none-any.whl"
    metadata = wheel_metadata(wheel)
    with zipfile.ZipFile(wheel) as archive:
        assert "Generator: hatchling" in archive.read("sample_pkg-1.4.2.dist-info/WHEEL").decode()
        assert "sample_pkg/__init__.py" in archive.namelist()
    assert metadata["Name"] == "sample-pkg" and metadata["Version"] == "1.4.2"
    assert SpecifierSet(metadata["Requires-Python"]) == SpecifierSet(">=3.9,<4")
    assert [str(Requirement(r)) for r in metadata.get_all("Requires-Dist")] == ["attrs>=21.0", "packaging"]
    assert metadata["Author-email"] == (
        "Ada Author <ada@example.org>, Ben Author <ben@example.org>, Mia Maintainer <mia@example.org>"
    )
    assert metadata.get("Maintainer-email") is None


def test_a_failing_build_step_restores_the_project_and_fails_the_session(project):
    pyproject = (project / "pyproject.toml").read_bytes()
    result = nox(project, "-s", "wheel_failing_step")
    assert result.returncode != 0
    assert RED_REPORT + "2\ncommand: python3 -m build --wheel" in result.stderr
    assert re.search(r"Session wheel_failing_step (aborted|failed)", result.stderr)
    assert (project / "pyproject.toml").read_bytes() == pyproject
    assert not (project / "_tmp").exists()
    assert not (project / "dist").exists()


def podman_works():
    podman = shutil.which("podman", path="/usr/bin")
    if podman is None or not os.path.exists("/usr/bin/docker"):
        return False
    return subprocess.run([podman, "info"], capture_output=True, timeout=120).returncode == 0


@pytest.fixture
def image_name():
    if not podman_works():
        pytest.skip("podman cannot run containers here (`podman info` fails or podman-docker is missing)")
    name = f"localhost/norvan-e2e-{uuid.uuid4().hex[:12]}:1"
    yield name
    subprocess.run(["/usr/bin/podman", "rmi", "--force", name], capture_output=True, timeout=120)


def test_build_docker_image_through_podman(project, image_name):
    result = nox(project, "-s", "image", "--", image_name)
    assert result.returncode == 0, result.stderr
    assert subprocess.run(["/usr/bin/podman", "image", "exists", image_name], timeout=120).returncode == 0
    labels = subprocess.run(["/usr/bin/podman", "image", "inspect", "--format", "{{.Labels}}", image_name],
                            capture_output=True, text=True, timeout=120).stdout
    assert "org.example.norvan:e2e" in labels


def test_a_failing_dockerfile_gives_the_red_report_and_aborts_the_session(project, image_name):
    result = nox(project, "-s", "image_failing", "--", image_name)
    assert result.returncode != 0
    match = re.search(re.escape(RED_REPORT) + r"(-?\d+)\ncommand: docker build -t " + re.escape(image_name) + " /",
                      result.stderr)
    assert match, result.stderr
    assert re.search(rf"Session image_failing aborted: {match.group(1)}\b", result.stderr), result.stderr
    assert subprocess.run(["/usr/bin/podman", "image", "exists", image_name], timeout=120).returncode != 0
