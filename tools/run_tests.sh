#!/usr/bin/env bash
# Builds the release wheel (tools/build_wheel.sh: manylinux2014, cp38-abi3)
# with the oldest CPython available, audits it, and runs the test suite with
# that same wheel on the oldest and the newest CPython, and on CPython 3.14
# from ../shared/cpython, then the wheel's answers against a system-compiler
# build (build-system/) and the suite against a sanitizer build
# (build-sanitize/). Meanwhile a background lane runs the emulated stages (the
# aarch64 wheel and the big-endian s390x build, each with native drivers built
# for it, run the engine, reader, writer and native-driver tests under
# qemu-user with Debian's CPython 3.11 for that architecture), then the
# free-threaded stage, the threads test under ThreadSanitizer
# (tools/test_tsan.sh), a short fuzzing run (build-fuzz/, installing clang
# with apt-get when it is missing and we are root) and a compile-only check
# of every source for Windows and macOS. The property tests draw fewer
# examples where the same machine code runs again or runs emulated
# (tests/budget.py).
# Everything it installs with pip goes into virtual environments under
# .venv-build/ and .venv-test/, which it leaves in place; the foreign roots go
# into build-foreign/, CPython 3.14 into build-cpython/ (tools/shared_cpython.sh).
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

rm -rf .venv-test
status=0
shared=../shared/cpython

# --- Emulated stages (background) ------------------------------------------
# Each builds its target (tools/build_wheel.sh) and runs the tests of the
# engines, the readers and writers and the native drivers under qemu-user,
# writing its log to build-emulated/<arch>.log; the background lane below
# runs them and collects them.
# Left out there, to keep the whole run within its time: the type checkers,
# Dask, examples, leak and scale runs, the module-entry and hostile-input
# tests of the binding layer, and the memory-limit tests (qemu-user does not
# enforce RLIMIT_AS), none of which tests byte-order or
# architecture-dependent code.
EMULATED_TESTS=(tests/test_emi.py tests/test_emi_reference.py tests/test_categorize.py tests/test_derive.py
                tests/test_json_reader.py tests/test_json_writer.py tests/test_object_mode.py
                tests/test_modes_agree.py tests/test_rule_matcher.py tests/test_unicode.py)
emulated_stage() {
    local arch="$1" deb_arch="$2" log="build-emulated/$1.log" begun=$SECONDS
    local root="build-foreign/$arch/root" site="build-foreign/$arch/site" drivers module
    {
        echo "== $arch: building"
        ./tools/build_wheel.sh python3 "$arch"
        if [ "$arch" = s390x ]; then
            drivers=build-cross/s390x
            module=build-cross/s390x
        else
            # The wheel itself, unpacked beside the test packages.
            drivers="build-wheel/$arch/tree"
            module="build-emulated/$arch-wheel"
            rm -rf "$module"
            .venv-build/bin/python -m zipfile -e dist/morvanta-*-"manylinux2014_$arch"*.whl "$module"
        fi
        echo "== $arch: testing (at $((SECONDS - begun)) s)"
        MORVANTA_EMULATED=1 MORVANTA_EXAMPLES=0.2 MORVANTA_NATIVE_PREBUILT="$PWD/$drivers" \
            MORVANTA_NATIVE_RUNNER="qemu-$arch-static -L $PWD/$root" PYTHONPATH="$PWD/$module:$PWD/$site" \
            "qemu-$arch-static" -L "$root" "$root/usr/bin/python3.11" -m pytest -p no:cacheprovider "${EMULATED_TESTS[@]}"
        echo "== $arch: done in $((SECONDS - begun)) s"
    } >"$log" 2>&1
}
if ! command -v qemu-aarch64-static >/dev/null 2>&1 || ! command -v qemu-s390x-static >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        stage "installing qemu-user-static with apt-get"
        (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static) >/dev/null 2>&1 || true
    fi
fi
emulate=1
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1 || ! command -v qemu-s390x-static >/dev/null 2>&1 \
        || ! command -v qemu-aarch64-static >/dev/null 2>&1; then
    echo "== skipped the emulated aarch64 and s390x stages: needs root, apt-get and qemu-user-static"
    emulate=0
fi

# --- Side stages: the fuzzing run and the compile check -----------------------
side_stages() {
    local status=0
    # A short fuzzing run over the core (40 seconds). libFuzzer comes with
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
        ./tools/fuzz.sh "${FUZZ_SECONDS:-40}" 2>&1 | tail -n 6 || status=1
    else
        echo "== skipped the fuzz smoke run: clang++ not found"
    fi

    # The compile-only check for Windows and macOS.
    if [ -f "$shared/cpython-3.14.7.tar.xz" ] && [ -d build-cpython/py314 ]; then
        stage "compile check for Windows and macOS"
        ./tools/compile_check.sh .venv-build/bin/python "$shared/cpython-3.14.7.tar.xz" \
            build-cpython/py314/include/python3.14 || status=1
    else
        echo "== skipped the Windows and macOS compile check: no CPython 3.14 source and build in $shared"
    fi
    return $status
}

# --- The background lane --------------------------------------------------------
# While the foreground builds the wheels and runs the suites on each CPython,
# the background runs the emulated stages, then (once the foreground has
# written $ready: the wheels and CPython 3.14 are in place) the free-threaded
# and ThreadSanitizer stages, the fuzzing run and the compile check, so that
# both cores stay busy to the end. Its output goes to build-background.log,
# shown at the end.
ready=build-wheel/ready
rm -f "$ready"
background_lane() {
    local status=0 jobs=() job arch
    if [ "$emulate" = 1 ]; then
        rm -rf build-emulated
        mkdir -p build-emulated
        stage "emulated stages: aarch64 wheel, s390x build"
        emulated_stage aarch64 arm64 &
        jobs+=("aarch64:$!")
        emulated_stage s390x s390x &
        jobs+=("s390x:$!")
    fi
    for job in "${jobs[@]}"; do
        arch="${job%%:*}"
        if wait "${job#*:}"; then
            tail -n 3 "build-emulated/$arch.log"
        else
            tail -n 40 "build-emulated/$arch.log"
            echo "== the emulated $arch stage failed (build-emulated/$arch.log)"
            status=1
        fi
    done
    # The foreground stops early only when it has failed; stop with it.
    while [ ! -e "$ready" ]; do
        kill -0 $$ 2>/dev/null || return 1
        sleep 2
    done
    # ---- free-threaded CPython 3.14: the cp314t wheel
    # The whole suite with the GIL left off, then the threads test under ASan +
    # UBSan (tools/test_free_threaded.sh; it says so and passes when the wheel
    # or the interpreter is missing). Half the examples: the core is the same
    # code built by the same compiler.
    stage "free-threaded CPython 3.14 (cp314t wheel)"
    MORVANTA_EXAMPLES=0.5 ./tools/test_free_threaded.sh || status=1
    # ---- the threads test under ThreadSanitizer (tools/test_tsan.sh; it says
    # so and passes when the TSan interpreter is missing)
    stage "ThreadSanitizer: threads test on the free-threaded CPython 3.14 built with TSan"
    ./tools/test_tsan.sh || status=1
    side_stages || status=1
    return $status
}
rm -f build-background.log
background_lane >build-background.log 2>&1 &
background=$!

# --- The release wheel -------------------------------------------------------
# Built while the emulated stages fetch their foreign roots and build: each
# waits on downloads for part of its time.
stage "building the release wheel with $("$oldest" --version)"
wheel=$(./tools/build_wheel.sh "$oldest" "$(uname -m)" cp314t | grep -- "-cp38-abi3-" | tail -n 1)
echo "== built $wheel"

# --- CPython 3.14 from the shared tarball -----------------------------------
if py314=$(./tools/shared_cpython.sh py314); then
    pythons+=("$py314")
else
    echo "== skipped CPython 3.14: no $shared/py314-linux-$(uname -m).tar.xz"
fi
touch "$ready"

# --- The wheel on each CPython ------------------------------------------------
for py in "${pythons[@]}"; do
    ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    env=".venv-test/py$ver"
    stage "testing the wheel on $("$py" --version)"
    "$py" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    # --no-compile: byte-compiling every file of the type checkers and dask
    # took two thirds of the install; the tests compile what they import.
    "$env/bin/python" -m pip install -q --no-compile "${wheel}[test]"
    # The source tree holds no importable morvanta: the installed wheel is what runs.
    # The property tests draw their full number of examples on the oldest
    # CPython; the same abi3 machine code runs on the others, where a quarter
    # of them checks that CPython's side (tests/budget.py).
    share=1
    [ "$py" = "$oldest" ] || share=0.25
    MORVANTA_EXAMPLES=$share "$env/bin/python" -m pytest -p no:cacheprovider tests || status=1
done

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

stage "waiting for the background lane: emulated stages, free-threaded and TSan stages, fuzzing run, compile check"
wait "$background" || status=1
cat build-background.log

stage "done"
exit $status
