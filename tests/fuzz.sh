#!/bin/bash
# Builds the harvester's fuzz target with clang and runs it for a bounded
# time, after replaying every input that ever made it fail.
# Usage: fuzz.sh SOURCEDIR WORKDIR SECONDS
set -eu
src=$1 work=$2 seconds=$3
mkdir -p "$work/corpus"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$src/src" "$src/fuzz/harvestfuzz.cpp" "$src/src/directory/harvest.cpp" -o "$work/harvestfuzz"
regressions=("$src"/fuzz/regressions/*)
if [ -e "${regressions[0]}" ]; then
    "$work/harvestfuzz" "${regressions[@]}"
fi
# New finds go to the work directory; keep them under fuzz/regressions.
"$work/harvestfuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$src/fuzz/corpus"
