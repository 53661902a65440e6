#!/bin/bash
# SPDX-License-Identifier: MIT
# Sets up and builds (plainly and with the sanitizers), then runs the whole
# test suite: both builds' tests, the cross-architecture tests, the package
# check and the fuzzers.  Tests that need namespaces or root report
# themselves as skipped, with the reason, where those are not available.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --asan

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# ctest marks a skipped test "***Skipped" only; the reason is in GoogleTest's
# output, which ctest keeps in its log: "file:line: Skipped", the message,
# then "[  SKIPPED ] Suite.Name (N ms)".
show_skips() {  # build directory
  awk '
    /: Skipped$/ { collecting = 1; reason = ""; next }
    collecting && /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ {
      print "SKIPPED " $4 ": " (reason == "" ? "(no reason given)" : reason)
      collecting = 0; next
    }
    collecting && NF { reason = reason (reason == "" ? "" : " ") $0 }
  ' "$1/Testing/Temporary/LastTest.log"
}
run_ctest() {  # build directory, heading
  echo "=== $2 ($1/) ==="
  ctest --test-dir "$1" --output-on-failure -j 2 --timeout 900 | tee -a "$log"
  show_skips "$1"
}
run_ctest build "tests"
run_ctest build-asan "tests under AddressSanitizer + UndefinedBehaviorSanitizer"
echo "=== cross-architecture tests ==="
scripts/cross-test.sh | tee -a "$log"
echo "=== Debian and RPM packages ==="
scripts/package.sh | tee -a "$log"
echo "=== fuzzing ==="
scripts/fuzz.sh 30

# One line for the whole run (every step above stops the run on a failure).
total=0
for n in $(sed -n 's/.*tests passed, [0-9]* tests failed out of \([0-9]*\)$/\1/p' "$log"); do
  total=$((total + n))
done
skipped=$(grep -c '(Skipped)$' "$log" || true)
checks=$(sed -n 's/^package: \([0-9]*\) passed.*/\1/p' "$log")
echo "suite: $((total - skipped + checks)) passed, 0 failed, $skipped skipped"
