#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# runs each for a bounded time, seeded from ../shared/testdata: the
# configuration parse against its reference, and the SHA-1 engine's paths and
# splits against each other.  A crash or a difference fails the run.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
testdata=$(realpath ../shared/testdata)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQK_FUZZ=ON -DQK_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target cfg_fuzz sha1_fuzz
run() {  # program folder, target, seed directory
  local binary=build-fuzz/$1/fuzz/$2 target=$2 seeds=$3
  local corpus=build-fuzz/corpus-$2 log=build-fuzz/$2.log
  mkdir -p "$corpus"
  echo "=== fuzzing $target for ${seconds}s (seeds: $seeds) ==="
  # A crashing input is written to build-fuzz/ (by default it would go to
  # the top of the tree).
  if ! "$binary" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=4096 -max_len=65536 \
      -artifact_prefix=build-fuzz/ "$corpus" "$seeds" > "$log" 2>&1; then
    tail -40 "$log"
    echo "$target: FAILED"
    return 1
  fi
  echo "  executions: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log"), corpus: $(ls "$corpus" | wc -l) files"
}
run nicmatch cfg_fuzz "$testdata/ifcfg"
run imgseal sha1_fuzz "$testdata/sha1"
