#!/usr/bin/env bash
# Builds the libFuzzer harness with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it on the committed seed corpus.
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
mkdir -p build-fuzz/corpus
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Isrc fuzz/fuzz_requests.cpp src/error/*.cpp src/convert/*.cpp src/emi/*.cpp src/categorizer/*.cpp \
    src/unicode/*.cpp -o build-fuzz/fuzz_requests
cd build-fuzz
./fuzz_requests -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
    corpus ../fuzz/corpus
