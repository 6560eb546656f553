#!/bin/sh
# Optional, beside the seeded drivers that ctest runs: the record decoders under libFuzzer with
# AddressSanitizer and UBSan. Needs Debian's clang (and its libclang-rt); nothing else is built.
#   tests/fuzz/libfuzzer.sh [work folder] [seconds]
set -eu
src=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-${TMPDIR:-/tmp}/vanteo-libfuzzer}
seconds=${2:-60}
command -v clang++ >/dev/null || { echo "clang++ is not installed" >&2; exit 77; }
mkdir -p "$out/corpus"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fPIC \
    $(pkg-config --cflags Qt5Core) -I"$src" \
    "$src/tests/fuzz/libfuzzer_records.cpp" "$src/tests/fuzz/RecordChecks.cpp" "$src/wire/Records.cpp" \
    $(pkg-config --libs Qt5Core) -o "$out/fuzz_records"
exec "$out/fuzz_records" -max_len=255 -max_total_time="$seconds" -print_final_stats=1 "$out/corpus"
