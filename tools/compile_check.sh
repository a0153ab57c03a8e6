#!/usr/bin/env bash
# Compile-only check of every source CMakeLists.txt lists (core and binding)
# for Windows (x86_64-windows-gnu) and macOS (aarch64, x86_64), warnings as
# errors. It does not prove a wheel for those platforms (cibuildwheel builds
# those); it keeps the code portable between them.
#   tools/compile_check.sh ZIG_PYTHON CPYTHON_SOURCE_TARBALL
# zig's clang runs bare, with zig's libc++ and C library headers named here:
# `zig c++` would first build the whole C++ runtime for each target, which
# takes minutes and is not needed to check the code. The Python headers are
# the CPython source's Include/, with PC/pyconfig.h for Windows and, for
# macOS, the configured pyconfig.h of a CPython 3.14 build for this machine
# (an LP64 Unix like macOS; the limited API reads little from it).
set -euo pipefail
cd "$(dirname "$0")/.."
zig_python="$1"
tarball="$2"
unix_pyconfig_dir="$3"
out=build-check
mkdir -p "$out"
src="$out/$(tar -tJf "$tarball" | awk -F/ 'NR == 1 { print $1 }')"
[ -f "$src/PC/pyconfig.h" ] || tar -xJf "$tarball" -C "$out" --wildcards '*/Include' '*/PC/pyconfig.h'
zig_lib="$("$zig_python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "lib"))')"

# The sources of the two lists in CMakeLists.txt, the one place that names them.
mapfile -t sources < <(sed -n '/^set(MORVANTA_\(CORE\|BINDING\)_SOURCES/,/^)/p' CMakeLists.txt | grep -E '^\s+src/.*\.cpp$' | tr -d ' ')
[ "${#sources[@]}" -gt 0 ] || { echo "compile_check: no sources found in CMakeLists.txt" >&2; exit 1; }

# zig's libc++ configuration, as `zig c++` passes it.
libcxx=(-D_LIBCPP_ABI_VERSION=1 -D_LIBCPP_ABI_NAMESPACE=__1 -D_LIBCPP_HAS_THREADS=1 -D_LIBCPP_HAS_MONOTONIC_CLOCK
        -D_LIBCPP_HAS_TERMINAL -D_LIBCPP_HAS_MUSL_LIBC=0 -D_LIBCPP_HAS_FILESYSTEM=1 -D_LIBCPP_HAS_RANDOM_DEVICE
        -D_LIBCPP_HAS_LOCALIZATION -D_LIBCPP_HAS_UNICODE -D_LIBCPP_HAS_WIDE_CHARACTERS -D_LIBCPP_HAS_NO_STD_MODULES
        -D_LIBCPP_PSTL_BACKEND_SERIAL -D_LIBCPP_HARDENING_MODE=_LIBCPP_HARDENING_MODE_NONE
        -D_LIBCPP_ASSERTION_SEMANTIC_DEFAULT=_LIBCPP_ASSERTION_SEMANTIC_IGNORE
        -D_LIBCPP_DISABLE_VISIBILITY_ANNOTATIONS -D_LIBCXXABI_DISABLE_VISIBILITY_ANNOTATIONS
        -D_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS=0
        -nostdinc -nostdinc++ -isystem "$zig_lib/libcxx/include" -isystem "$zig_lib/libcxxabi/include"
        -isystem "$zig_lib/include")
status=0
for target in x86_64-windows-gnu aarch64-macos x86_64-macos; do
    case "$target" in
        *windows*) sys=(-D__MSVCRT_VERSION__=0xE00 -D_WIN32_WINNT=0x0a00 -isystem "$zig_lib/libc/include/x86_64-windows-gnu"
                        -isystem "$zig_lib/libc/include/generic-mingw" -isystem "$zig_lib/libc/include/x86_64-windows-any"
                        -isystem "$zig_lib/libc/include/any-windows-any" -I "$src/Include" -I "$src/PC") ;;
        *macos*) sys=(-mmacos-version-min=10.15
                      -isystem "$zig_lib/libc/include/any-darwin-any" -I "$src/Include" -I "$unix_pyconfig_dir") ;;
    esac
    failed=0
    for f in "${sources[@]}"; do
        "$zig_python" -m ziglang clang -target "$target" -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror \
            "${libcxx[@]}" "${sys[@]}" -Isrc -DPy_LIMITED_API=0x03080000 -DMORVANTA_VERSION='"0"' "$f" || failed=1
    done
    if [ "$failed" = 0 ]; then echo "compile check $target: ${#sources[@]} sources, no warnings"; else status=1; fi
done
exit $status
