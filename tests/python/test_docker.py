"""run_subprocess and build_docker_image with a recording session and a stand-in docker program."""

import os
import pathlib
import stat

import pytest

from norvan.binary_image import docker

RED = "\x1b[31m"


class SessionFailed(Exception):
    pass


class Session:
    def __init__(self, raise_on_error=True):
        self.codes = []
        self.raise_on_error = raise_on_error

    def error(self, code):
        self.codes.append(code)
        if self.raise_on_error:
            raise SessionFailed(code)


def test_success_is_silent(capfd):
    session = Session()
    docker.run_subprocess(session, ["sh", "-c", "echo hidden; echo hidden >&2"])
    assert session.codes == []
    assert capfd.readouterr() == ("", "")


def test_failure_prints_the_red_report_then_calls_error(capsys):
    session = Session()
    with pytest.raises(SessionFailed):
        docker.run_subprocess(session, ["sh", "-c", "echo hello; exit 3"])
    assert session.codes == [3]
    assert capsys.readouterr().err == (
        RED + "subprocess.run() returned exit code: 3\ncommand: sh -c echo hello; exit 3\nstdout: hello\nstderr: \n"
    )


def test_arguments_are_shown_by_str_and_output_is_stripped(capsys):
    session = Session(raise_on_error=False)
    docker.run_subprocess(session, ["sh", "-c", 'printf "  a\\r\\nb  \\n" >&2; exit "$1"', pathlib.Path("x"), 7],
                          verbose=False)
    assert session.codes == [7]
    err = capsys.readouterr().err
    assert "\ncommand: sh -c printf" in err and "exit \"$1\" x 7\n" in err
    assert err.endswith("\nstderr: a\nb\n")


def test_verbose_failure_reports_empty_streams(capfd):
    session = Session(raise_on_error=False)
    docker.run_subprocess(session, ["sh", "-c", "echo shown; exit 2"], verbose=True)
    out, err = capfd.readouterr()
    assert out == "shown\n"
    assert err.endswith("\nstdout: \nstderr: \n") and session.codes == [2]


def test_a_signal_gives_minus_its_number(capsys):
    session = Session(raise_on_error=False)
    docker.run_subprocess(session, ["sh", "-c", "kill -TERM $$"])
    assert session.codes == [-15]


def test_a_program_that_cannot_start_is_an_os_error_without_report(capsys):
    session = Session()
    with pytest.raises(FileNotFoundError):
        docker.run_subprocess(session, ["norvan-no-such-program"])
    assert session.codes == [] and capsys.readouterr().err == ""
    with pytest.raises(docker.DecodingError):
        docker.run_subprocess(session, ["printf", "\\377"])
    assert session.codes == []


def test_build_docker_image_runs_docker_build_in_a_temporary_context(tmp_path, monkeypatch, capsys):
    log = tmp_path / "log"
    fake = tmp_path / "bin" / "docker"
    fake.parent.mkdir()
    fake.write_text(f'#!/bin/sh\necho "$@" > {log}\ncat "$4/Dockerfile" >> {log}\nls -d "$4" >> {log}\nexit "${{FAIL:-0}}"\n')
    fake.chmod(fake.stat().st_mode | stat.S_IEXEC)
    monkeypatch.setenv("PATH", f"{fake.parent}{os.pathsep}{os.environ['PATH']}")

    session = Session()
    docker.build_docker_image(session, "img:1", "FROM scratch\nLABEL a=b\n")
    words, dockerfile, directory = log.read_text().split("\n", 1)[0], log.read_text(), log.read_text().splitlines()[-1]
    assert words.split(" ")[:3] == ["build", "-t", "img:1"] and len(words.split(" ")) == 4
    assert "FROM scratch\nLABEL a=b\n" in dockerfile
    assert not os.path.exists(directory)

    monkeypatch.setenv("FAIL", "5")
    with pytest.raises(SessionFailed):
        docker.build_docker_image(session, "img:2", "FROM scratch\n")
    assert session.codes == [5]
    assert capsys.readouterr().err.startswith(RED + "subprocess.run() returned exit code: 5\ncommand: docker build -t img:2 ")
    assert not os.path.exists(log.read_text().splitlines()[-1])
