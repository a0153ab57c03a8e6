"""Shared fixtures.

`native_tool` builds a small C++ driver from tests/native/ against the pure
C++ core (no interpreter involved), so tests can compare the core with an
independent truth such as Python's own `str.lower()`. The drivers are CMake
targets (MORVANTA_NATIVE_TESTS); the build tree is build-native/ in the
checkout, or MORVANTA_NATIVE_BUILD, configured once per session.

Drivers built beforehand for another machine (cross-compiled, run under an
emulator) come from the folder MORVANTA_NATIVE_PREBUILT instead, each run
through the command prefix MORVANTA_NATIVE_RUNNER when that is set (for
example "qemu-s390x-static -L /path/to/root").
"""
import os
import shlex
import shutil
import stat
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _prebuilt_tools(folder, runner, scratch):
    def tool(name):
        exe = os.path.join(folder, name)
        if not os.path.exists(exe):
            pytest.fail(f"no prebuilt driver {exe}")
        if not runner:
            return exe
        # A program the tests can run like the driver itself.
        wrapper = os.path.join(str(scratch), name)
        if not os.path.exists(wrapper):
            with open(wrapper, "w") as f:
                f.write("#!/bin/sh\nexec " + " ".join(map(shlex.quote, runner + [exe])) + ' "$@"\n')
            os.chmod(wrapper, stat.S_IRWXU)
        return wrapper

    return tool


@pytest.fixture(scope="session")
def native_tool(tmp_path_factory):
    """Returns a function name -> path of the built tests/native/<name>.cpp."""
    prebuilt = os.environ.get("MORVANTA_NATIVE_PREBUILT")
    if prebuilt:
        runner = shlex.split(os.environ.get("MORVANTA_NATIVE_RUNNER", ""))
        return _prebuilt_tools(prebuilt, runner, tmp_path_factory.mktemp("native"))
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
