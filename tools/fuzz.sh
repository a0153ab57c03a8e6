#!/usr/bin/env bash
# Builds the libFuzzer harness (CMake target fuzz_requests: clang,
# AddressSanitizer and UndefinedBehaviorSanitizer) in build-fuzz/ and runs it
# on the committed seed corpus.
#   tools/fuzz.sh [seconds]      default 60
# New inputs go to build-fuzz/corpus (not committed); crashes to build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
cxx="${CXX_FUZZ:-clang++}"
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "fuzz: $cxx not found (Debian: apt-get install clang)" >&2
    exit 1
fi
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER="$cxx" -DMORVANTA_FUZZ=ON -DMORVANTA_EXTENSION=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build build-fuzz --target fuzz_requests -j2 >/dev/null
mkdir -p build-fuzz/corpus
cd build-fuzz
./fuzz_requests -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
    corpus ../fuzz/corpus
