"""Shared fixtures.

`native_tool` builds a small C++ driver from tests/native/ against the pure
C++ core (no interpreter involved), so tests can compare the core with an
independent truth such as Python's own `str.lower()`. The drivers are CMake
targets (MORVANTA_NATIVE_TESTS); the build tree is build-native/ in the
checkout, or MORVANTA_NATIVE_BUILD, configured once per session.
"""
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="session")
def native_tool():
    """Returns a function name -> path of the built tests/native/<name>.cpp."""
    cmake = shutil.which("cmake")
    if cmake is None or not (shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")):
        pytest.skip("no CMake and C++ compiler to build the native drivers")
    build_dir = os.environ.get("MORVANTA_NATIVE_BUILD") or os.path.join(ROOT, "build-native")
    # The compiler must not inherit a sanitizer runtime preloaded for the suite.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([cmake, "-S", ROOT, "-B", build_dir, "-DMORVANTA_NATIVE_TESTS=ON", "-DMORVANTA_EXTENSION=OFF"],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    built = {}

    def build(name):
        if name not in built:
            subprocess.run([cmake, "--build", build_dir, "--target", name, "-j2"],
                           check=True, env=env, stdout=subprocess.DEVNULL)
            exe = os.path.join(build_dir, name)
            built[name] = exe + ".exe" if os.name == "nt" else exe
        return built[name]

    return build
