"""Builds the Python package tessera with the project's CMake.

The compiled core tessera._core and the libraries it links (libtessera and
its two service libraries, and the solver's when it is built) are installed
next to the package's Python sources, where the core finds them through
$ORIGIN. pyproject.toml says how to run it.
"""

import os
import re
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        match = re.search(r"project\(tessera\s+VERSION\s+([0-9.]+)", f.read())
    if match is None:
        raise RuntimeError("no project version in CMakeLists.txt")
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        package_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        os.makedirs(build_dir, exist_ok=True)
        jobs = str(os.cpu_count() or 1)
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython3_EXECUTABLE={sys.executable}", "-DTESSERA_PYTHON=ON",
                        "-DTESSERA_TESTS=OFF", "-DTESSERA_BENCH=OFF",
                        f"-DTESSERA_PYTHON_PACKAGE_DIR={package_dir}"], check=True)
        subprocess.run(["cmake", "--build", build_dir, "--target", "tessera_python", "-j", jobs],
                       check=True)
        subprocess.run(["cmake", "--install", build_dir, "--component", "python"], check=True)


setup(
    version=project_version(),
    package_dir={"": "python"},
    packages=["tessera"],
    ext_modules=[Extension("tessera._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build-python"}},
    zip_safe=False,
)
