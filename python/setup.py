"""Installs the trelvak package: ``pip install --no-build-isolation --no-index ./python``.

The extension trelvak._trelvak is built by the project's CMake build (only that target, in a
folder of its own under the build's temporary directory, or in TRELVAK_BUILD_DIR when set) and
copied into the package. Needs cmake, a C++20 compiler, pybind11-dev and the libraries the
project links (BLAS, LAPACK, METIS, AMD, MUMPS); downloads nothing.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent


class CMakeBuild(build_ext):
    """Builds the extension with CMake instead of setuptools' compiler calls."""

    def build_extension(self, ext: Extension) -> None:
        build = Path(os.environ.get("TRELVAK_BUILD_DIR") or Path(self.build_temp) / "cmake")
        build.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["cmake", "-S", str(SOURCE), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
             "-DTRELVAK_BUILD_TESTS=OFF", "-DTRELVAK_BUILD_OCTAVE=OFF",
             f"-DPython3_EXECUTABLE={sys.executable}"],
            check=True,
        )
        subprocess.run(["cmake", "--build", str(build), "--target", "_trelvak", "-j2"],
                       check=True)
        built = sorted((build / "python" / "trelvak").glob("_trelvak*.so"))
        if not built:
            raise RuntimeError(f"the CMake build left no _trelvak module in {build}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(built[-1], target)


setup(
    name="trelvak",
    version="0.1",
    description="Sparse symmetric indefinite systems: multilevel incomplete LDL^T "
                "preconditioner and Krylov methods",
    packages=["trelvak"],
    package_data={"trelvak": ["py.typed"]},
    ext_modules=[Extension("trelvak._trelvak", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.9",
    install_requires=["numpy", "scipy"],
    zip_safe=False,
)
