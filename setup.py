"""Builds the extension vellox._vellox with CMake (see pyproject.toml).

The CMake build folder is build/python/cmake (VELLOX_PYTHON_BUILD_DIR
overrides it), so a second build, e.g. the wheel after the install, only
relinks what changed. The version comes from CMakeLists.txt, the one place
that holds it.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def release_version():
    # project(vellox VERSION 1.0.0.4): users see major.minor.fourth ("1.0.4").
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"project\(vellox VERSION (\d+)\.(\d+)\.(\d+)\.(\d+)", text)
    if not found:
        raise RuntimeError("no project(vellox VERSION a.b.c.d) in CMakeLists.txt")
    return f"{found[1]}.{found[2]}.{found[4]}"


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = Path(os.environ.get("VELLOX_PYTHON_BUILD_DIR", ROOT / "build" / "python" / "cmake")).resolve()
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVELLOX_BUILD_PYTHON=ON",
            "-DVELLOX_BUILD_TESTS=OFF",
            "-DVELLOX_BUILD_CLI=OFF",
            "-DVELLOX_INSTALL=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if not (build_dir / "CMakeCache.txt").exists() and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        jobs = str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_vellox", "--parallel", jobs], check=True)
        built = sorted((build_dir / "python" / "vellox").glob("_vellox*.so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one built _vellox module in {build_dir}/python/vellox, found {built}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


# Keep setuptools' own output under build/python too.
(ROOT / "build" / "python").mkdir(parents=True, exist_ok=True)
setup(
    version=release_version(),
    ext_modules=[CMakeExtension("vellox._vellox")],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build/python/setuptools"}, "egg_info": {"egg_base": "build/python"}},
)
