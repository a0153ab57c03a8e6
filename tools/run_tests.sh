#!/usr/bin/env bash
# Builds the release wheel (tools/build_wheel.sh: manylinux2014, cp38-abi3)
# with the oldest CPython available, audits it, and runs the test suite with
# that same wheel on the oldest and the newest CPython. Then: the wheel's
# answers against a system-compiler build (build-system/), the suite against
# a sanitizer build (build-sanitize/), and a short fuzzing run (build-fuzz/,
# installing clang with apt-get when it is missing and we are root).
# Everything it installs with pip goes into virtual environments under
# .venv-build/ and .venv-test/, which it leaves in place.
set -euo pipefail
cd "$(dirname "$0")/.."

pythons=()
if command -v pyenv >/dev/null 2>&1; then
    # Installed CPython 3.x versions from 3.8 on, oldest first.
    mapfile -t versions < <(pyenv versions --bare | grep -E '^3\.([89]|[1-9][0-9])\.[0-9]+$' | sort -t. -k1,1n -k2,2n -k3,3n)
    if [ "${#versions[@]}" -gt 0 ]; then
        pythons+=("$(pyenv prefix "${versions[0]}")/bin/python")
        if [ "${#versions[@]}" -gt 1 ]; then
            pythons+=("$(pyenv prefix "${versions[-1]}")/bin/python")
        fi
    fi
fi
if [ "${#pythons[@]}" -eq 0 ]; then
    pythons+=("$(command -v python3)")
fi

oldest="${pythons[0]}"
newest="${pythons[-1]}"
started=$SECONDS
stage() { echo "== $1 (at $((SECONDS - started)) s)"; }

stage "building the release wheel with $("$oldest" --version)"
rm -rf .venv-test
wheel=$(./tools/build_wheel.sh "$oldest" | tail -n 1)
echo "== built $wheel"

status=0
for py in "${pythons[@]}"; do
    ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    env=".venv-test/py$ver"
    stage "testing the wheel on $("$py" --version)"
    "$py" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    "$env/bin/python" -m pip install -q "${wheel}[test]"
    if [ "$py" = "$oldest" ]; then
        stage "abi3audit"
        "$env/bin/abi3audit" --strict --report "$wheel"
    fi
    # The source tree holds no importable morvanta: the installed wheel is what runs.
    "$env/bin/python" -m pytest -p no:cacheprovider tests || status=1
done

# ---- free-threaded CPython 3.14: the cp314t wheel ----------------------------
# The whole suite with the GIL left off, then the threads test under ASan +
# UBSan (tools/test_free_threaded.sh; it says so and passes when the wheel
# or the interpreter is missing).
stage "free-threaded CPython 3.14 (cp314t wheel)"
./tools/test_free_threaded.sh || status=1
# ---- end of the free-threaded stage -----------------------------------------

# Same bytes: the wheel (zig's clang, libc++) and a build with the system
# compiler answer a fixed set of requests identically (tools/same_bytes.py).
ver=$("$newest" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if command -v c++ >/dev/null 2>&1; then
    stage "same bytes: the wheel against a system-compiler build"
    cmake -S . -B build-system -DPython_EXECUTABLE="$newest" >/dev/null
    cmake --build build-system -j2 >/dev/null
    ".venv-test/py$ver/bin/python" tools/same_bytes.py >build-system/answers-wheel.txt
    PYTHONPATH=build-system ".venv-test/py$ver/bin/python" tools/same_bytes.py >build-system/answers-system.txt
    cmp build-system/answers-wheel.txt build-system/answers-system.txt || status=1
else
    echo "== skipped the same-bytes check: no system C++ compiler"
fi

# The suite again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, the runtimes preloaded into the newest
# interpreter. Allocations by the interpreter itself are suppressed
# (tools/lsan.supp); the module's own C++ allocations are leak-checked.
# Left out: the type-checker and Dask runs, and the files that test the core
# only through native drivers (they do not load the module).
if command -v g++ >/dev/null 2>&1; then
    stage "sanitizer suite (ASan + UBSan) on $("$newest" --version)"
    cmake -S . -B build-sanitize -DMORVANTA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$newest" >/dev/null
    cmake --build build-sanitize -j2 >/dev/null
    (
        export MORVANTA_SANITIZED=1
        export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
        export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:malloc_context_size=4
        export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
        export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
        PYTHONPATH=build-sanitize ".venv-test/py$ver/bin/python" -m pytest -p no:cacheprovider tests \
            --ignore=tests/test_typing.py --ignore=tests/test_dask.py \
            --ignore=tests/test_unicode.py --ignore=tests/test_rule_matcher.py
    ) || status=1
else
    echo "== skipped the sanitizer suite: g++ not found"
fi

# A short fuzzing run over the core (about a minute). libFuzzer comes with
# clang; on a Debian machine where we are root, install it if it is missing.
if ! command -v clang++ >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        stage "installing clang with apt-get"
        (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang) >/dev/null 2>&1 || true
    else
        echo "== not installing clang: not root (or no apt-get)"
    fi
fi
if command -v clang++ >/dev/null 2>&1; then
    stage "fuzz smoke run"
    ./tools/fuzz.sh "${FUZZ_SECONDS:-60}" 2>&1 | tail -n 6 || status=1
else
    echo "== skipped the fuzz smoke run: clang++ not found"
fi

stage "done"
exit $status
