"""Builds veld._veld with the project's own CMake (see pyproject.toml).

From the repository the project is this directory's parent; an sdist carries
the parts of it that the module needs under project/.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist

HERE = Path(__file__).resolve().parent
# What configuring the project for the module alone reads.
PROJECT_PARTS = ["CMakeLists.txt", "LICENSE", "cmake", "Datasource",
                 "python/CMakeLists.txt", "python/src", "python/veld"]


def project_root():
    for candidate in (HERE / "project", HERE.parent):
        if (candidate / "Datasource").is_dir() and (candidate / "CMakeLists.txt").is_file():
            return candidate
    raise RuntimeError(f"the veld project is neither {HERE.parent} nor {HERE / 'project'}")


def project_version(root):
    text = (root / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*veld\s+VERSION\s+([0-9][0-9.]*)", text)
    if not found:
        raise RuntimeError(f"no project(veld VERSION ...) in {root / 'CMakeLists.txt'}")
    return found.group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        root = project_root()
        build = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(root), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVELD_BUILD_TESTS=OFF", "-DVELD_BUILD_BENCH=OFF", "-DVELD_BUILD_TOOLS=OFF",
            "-DVELD_PYTHON_STATIC=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ninja") and not (build / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        try:
            import pybind11
            configure.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass  # pybind11-dev's CMake package is found on its own
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "veld_python", "--parallel", jobs], check=True)
        built = sorted((build / "python" / "veld").glob("_veld*.so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one _veld module in {build / 'python' / 'veld'}, found {built}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


class ProjectSdist(sdist):
    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        root = project_root()
        for part in PROJECT_PARTS:
            source, target = root / part, Path(base_dir) / "project" / part
            if source.is_dir():
                shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
            else:
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(source, target)


setup(
    version=project_version(project_root()),
    ext_modules=[CMakeExtension("veld._veld")],
    cmdclass={"build_ext": CMakeBuild, "sdist": ProjectSdist},
)
