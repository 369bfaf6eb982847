#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into OUT (default build-fuzz).
# Usage: fuzz/build.sh [OUT]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build-fuzz}
mkdir -p "$out"
flags=(-std=c++17 -g -O1 -Wall -Wextra -Werror -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$top/src")
for target in fuzz_reader fuzz_send_string; do
    clang++ "${flags[@]}" "$top/src/entries.cpp" "$top/src/serial.cpp" \
        "$top/fuzz/$target.cpp" -o "$out/$target"
done
echo "fuzzers built in $out"
