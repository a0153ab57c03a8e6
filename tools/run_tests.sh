#!/usr/bin/env bash
# Builds one abi3 wheel against the oldest CPython available, audits it, and
# runs the test suite with that same wheel on the oldest and the newest CPython.
# Everything it installs goes into virtual environments under .venv-test/.
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
echo "== building the wheel with $("$oldest" --version)"
rm -rf dist .venv-test
"$oldest" -m venv .venv-test/build
.venv-test/build/bin/python -m pip install -q --upgrade pip
.venv-test/build/bin/python -m pip wheel -q --no-deps -w dist .
wheel=$(ls dist/morvanta-*.whl)
echo "== built $wheel"
case "$wheel" in
    *-cp38-abi3-*) ;;
    *) echo "wheel is not tagged cp38-abi3: $wheel" >&2; exit 1 ;;
esac

status=0
for py in "${pythons[@]}"; do
    ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    env=".venv-test/py$ver"
    echo "== testing on $("$py" --version)"
    "$py" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    "$env/bin/python" -m pip install -q "${wheel}[test]"
    if [ "$py" = "$oldest" ]; then
        echo "== abi3audit"
        "$env/bin/abi3audit" --strict --report "$wheel"
    fi
    # The source tree holds no importable morvanta: the installed wheel is what runs.
    "$env/bin/python" -m pytest -p no:cacheprovider tests || status=1
done

# The suite again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, the runtimes preloaded into the newest
# interpreter. Allocations by the interpreter itself are suppressed
# (tools/lsan.supp); the module's own C++ allocations are leak-checked.
# Left out: the type-checker and Dask runs, and the files that test the core
# only through native drivers (they do not load the module).
newest="${pythons[-1]}"
ver=$("$newest" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if command -v g++ >/dev/null 2>&1; then
    echo "== sanitizer suite (ASan + UBSan) on $("$newest" --version)"
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
fi

# A short fuzzing run over the core (about a minute). libFuzzer comes with
# clang; on a Debian machine where we are root, install it if it is missing.
if ! command -v clang++ >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang) >/dev/null 2>&1 || true
fi
if command -v clang++ >/dev/null 2>&1; then
    echo "== fuzz smoke run"
    ./tools/fuzz.sh "${FUZZ_SECONDS:-60}" 2>&1 | tail -n 6 || status=1
fi

exit $status
