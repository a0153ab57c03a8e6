"""Shared fixtures.

`native_tool` compiles a small C++ driver from tests/native/ against the
pure C++ core (no interpreter involved), so tests can compare the core with
an independent truth such as Python's own `str.lower()`.
"""
import glob
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORE_DIRS = ["error", "convert", "emi", "categorizer", "unicode"]


def _core_sources():
    sources = []
    for d in CORE_DIRS:
        sources.extend(sorted(glob.glob(os.path.join(ROOT, "src", d, "*.cpp"))))
    return sources


@pytest.fixture(scope="session")
def native_tool(tmp_path_factory):
    """Returns a function name -> path of the compiled tests/native/<name>.cpp."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the native drivers")
    out_dir = tmp_path_factory.mktemp("native")
    built = {}

    def build(name):
        if name not in built:
            exe = str(out_dir / name)
            cmd = [compiler, "-std=c++20", "-O1", "-I", os.path.join(ROOT, "src"),
                   os.path.join(ROOT, "tests", "native", name + ".cpp"), *_core_sources(), "-o", exe]
            # The compiler must not inherit a sanitizer runtime preloaded for the suite.
            env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
            subprocess.run(cmd, check=True, env=env)
            built[name] = exe
        return built[name]

    return build
