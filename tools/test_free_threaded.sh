#!/usr/bin/env bash
# The free-threaded stage of tools/run_tests.sh: installs the cp314t wheel
# that tools/build_wheel.sh left in dist/ into the free-threaded CPython 3.14
# (tools/shared_cpython.sh) and runs the whole suite there with the GIL left
# to the interpreter (no PYTHON_GIL), so it stays off only because the module
# declares it needs none. Then the threads, object-mode and module tests once
# more against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# loaded into that interpreter. Exits 0 with a note when the wheel or the interpreter is
# missing; pip installs go to .venv-test/py3.14t/.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
stage() { echo "== $1 (free-threaded stage at $((SECONDS - started)) s)"; }

wheels=(dist/morvanta-*-cp314-cp314t-*.whl)
if [ ! -f "${wheels[0]}" ]; then
    echo "== skipped the free-threaded suite: no cp314t wheel in dist/"
    exit 0
fi
if ! python=$(./tools/shared_cpython.sh py314t); then
    echo "== skipped the free-threaded suite: no free-threaded CPython 3.14 tarball"
    exit 0
fi
unset PYTHON_GIL

status=0
env=.venv-test/py3.14t
stage "testing ${wheels[0]} on $("$python" -VV | head -n 1)"
rm -rf "$env"
"$python" -m venv "$env"
# The test extra's type checkers and Dask stack are left out here: their
# tests skip without them, and building them for 3.14t would cost minutes.
"$env/bin/python" -m pip install -q --no-compile "${wheels[0]}" "pytest>=7" "hypothesis>=6"
"$env/bin/python" -m pytest -p no:cacheprovider tests || status=1

# ASan sees the module's own memory (its C++ heap goes through malloc), and
# LeakSanitizer checks it, the interpreter's allocations suppressed as in the
# GIL run (tools/lsan.supp). The interpreter's objects live in mimalloc's
# heaps, which ASan does not watch (this interpreter has no other object
# allocator): their lifetimes are checked by the threads test's answers and
# reference counts.
if command -v g++ >/dev/null 2>&1; then
    stage "threads, object-mode and module tests under ASan + UBSan, free-threaded"
    cmake -S . -B build-sanitize-ft -DMORVANTA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$python" >/dev/null
    cmake --build build-sanitize-ft -j2 >/dev/null
    (
        export MORVANTA_SANITIZED=1
        export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
        export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:malloc_context_size=4
        export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
        export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
        PYTHONPATH=build-sanitize-ft "$env/bin/python" -m pytest -p no:cacheprovider tests/test_threads.py \
            tests/test_object_mode.py tests/test_module.py
    ) || status=1
else
    echo "== skipped the free-threaded sanitizer run: g++ not found"
fi
stage "done"
exit $status
