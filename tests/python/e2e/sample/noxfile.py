"""Build sessions of the sample project, using norvan's build tooling."""

import nox

from norvan.binary_image.docker import build_docker_image, run_subprocess
from norvan.binary_image.kelvory import hatch_project_setup

nox.options.sessions = []

BUILD_WHEEL = ["python3", "-m", "build", "--wheel", "--no-isolation", "--skip-dependency-check"]


@nox.session(python=False)
def wheel(session):
    with hatch_project_setup(session):
        session.run(*BUILD_WHEEL)


@nox.session(python=False)
def wheel_failing_step(session):
    with hatch_project_setup(session):
        run_subprocess(session, [*BUILD_WHEEL, "--no-such-option"])


@nox.session(python=False)
def image(session):
    build_docker_image(session, session.posargs[0], "FROM scratch\nLABEL org.example.norvan=e2e\n")


@nox.session(python=False)
def image_failing(session):
    build_docker_image(session, session.posargs[0], "FROM scratch\nNO_SUCH_INSTRUCTION x\n")
