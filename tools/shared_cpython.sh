#!/usr/bin/env bash
# Prints the path of a CPython built for this project's test command,
# extracting it on first use from ../shared/cpython/<name>-linux-x86_64.tar.xz
# (or $MORVANTA_CPYTHON_TARBALLS) into build-cpython/<name>/, which git
# ignores. Prints nothing, and exits 1, when that tarball is not there.
#   tools/shared_cpython.sh py314t    the free-threaded CPython 3.14
set -euo pipefail
cd "$(dirname "$0")/.."
name="$1"
tarballs="${MORVANTA_CPYTHON_TARBALLS:-../shared/cpython}"
python="build-cpython/$name/bin/python3"
if [ ! -x "$python" ]; then
    tarball="$tarballs/$name-linux-$(uname -m).tar.xz"
    [ -f "$tarball" ] || exit 1
    rm -rf "build-cpython/$name"
    mkdir -p build-cpython
    tar -xJf "$tarball" -C build-cpython
fi
echo "$PWD/$python"
