"""Builds the extension norvan._norvan with the project's CMake build for pip.

The extension and the norvan shared library it loads (libnorvan.so.0) are copied into the
package; their run paths ($ORIGIN) make them find each other there. Extra CMake arguments may be given in
the environment variable NORVAN_CMAKE_ARGS (e.g. -DCMAKE_BUILD_TYPE=RelWithDebInfo).
"""

import os
import pathlib
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
# Away from the CMake build directory `build/` of `make`.
BUILD_BASE = "build-python"


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(cmake_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DNORVAN_BUILD_TESTS=OFF",
            "-DNORVAN_BUILD_PYTHON=ON",
            # The libraries get their installed run path ($ORIGIN) already in the build tree.
            "-DCMAKE_BUILD_WITH_INSTALL_RPATH=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ccache"):
            configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        configure += shlex.split(os.environ.get("NORVAN_CMAKE_ARGS", ""))
        subprocess.run(configure, check=True)
        subprocess.run(
            ["cmake", "--build", str(cmake_dir), "--target", "norvan_python", "-j", str(os.cpu_count() or 1)],
            check=True,
        )
        extension_path = pathlib.Path(self.get_ext_fullpath(ext.name))
        extension_path.parent.mkdir(parents=True, exist_ok=True)
        extension, *libraries = (cmake_dir / "python" / "bundle.txt").read_text().split()
        shutil.copyfile(extension, extension_path)
        for library in libraries:
            shutil.copyfile(library, extension_path.parent / pathlib.Path(library).name)


pathlib.Path(ROOT, BUILD_BASE).mkdir(exist_ok=True)
setup(
    ext_modules=[Extension("norvan._norvan", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
)
