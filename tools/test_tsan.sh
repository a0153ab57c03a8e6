#!/usr/bin/env bash
# The ThreadSanitizer stage of tools/run_tests.sh: builds the module with
# -fsanitize=thread for the free-threaded CPython 3.14 built with
# --with-thread-sanitizer (tools/shared_cpython.sh py314t-tsan), runs the
# threads test, then the same tests again four at a time under
# pytest-run-parallel (a threads-and-mutators stress), with CPython's own
# suppressions for free-threaded runs. A report with a frame in the module
# fails the stage; reports inside CPython alone are counted
# (tools/tsan_reports.py). Exits 0 with a note when the interpreter, its
# source (for the suppressions) or the TSan runtime is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
stage() { echo "== $1 (ThreadSanitizer stage at $((SECONDS - started)) s)"; }

source_tarball="${MORVANTA_CPYTHON_TARBALLS:-../shared/cpython}/cpython-3.14.7.tar.xz"
if ! python=$(./tools/shared_cpython.sh py314t-tsan); then
    echo "== skipped the ThreadSanitizer stage: no py314t-tsan CPython tarball"
    exit 0
fi
if [ ! -f "$source_tarball" ]; then
    echo "== skipped the ThreadSanitizer stage: no CPython source tarball for the suppressions"
    exit 0
fi
if ! command -v g++ >/dev/null 2>&1 || [ ! -e "$(g++ -print-file-name=libtsan.so)" ]; then
    echo "== skipped the ThreadSanitizer stage: no g++ with its TSan runtime (libtsan)"
    exit 0
fi

build=build-tsan
stage "building the module with -fsanitize=thread"
cmake -S . -B "$build" -DMORVANTA_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j2 >/dev/null
suppressions="$build/suppressions_free_threading.txt"
tar -xJf "$source_tarball" -O --wildcards '*/Tools/tsan/suppressions_free_threading.txt' >"$suppressions"

# The tarball ships no bytecode, and compiling pytest and hypothesis under
# TSan costs half a minute a run: the free-threaded interpreter of the same
# release, where there is one, compiles the library once.
if fast=$(./tools/shared_cpython.sh py314t); then
    "$fast" -m compileall -q -j2 "$(dirname "$(dirname "$python")")/lib" >/dev/null || true
fi

logs="$build/logs"
rm -rf "$logs"
mkdir -p "$logs"
status=0
(
    export PYTHONPATH="$PWD/$build"
    export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 history_size=7 exitcode=0 suppressions=$PWD/$suppressions log_path=$PWD/$logs/tsan"
    unset PYTHON_GIL PYTHONDONTWRITEBYTECODE
    stage "threads test under ThreadSanitizer"
    "$python" -m pytest -p no:cacheprovider tests/test_threads.py
    stage "the same tests four at a time (pytest-run-parallel)"
    "$python" -m pytest -p no:cacheprovider --parallel-threads=4 tests/test_threads.py
) || status=1
python3 tools/tsan_reports.py "$logs" || status=1
stage "done"
exit $status
