#!/bin/bash
# SPDX-License-Identifier: MIT
# Sets up and builds (plainly and with the sanitizers), then runs the whole
# test suite: both builds' tests, the cross-architecture tests, the package
# check and the fuzzers.  Tests that need namespaces or root report
# themselves as skipped, with the reason, where those are not available.
# A stage that fails does not stop the others; the run ends with the count
# of tests, then the stages that failed on a line of their own, and a
# non-zero status.
set -uo pipefail
cd "$(dirname "$0")/.."

mkdir -p build
log=build/test-run.log   # what the stages print, for the closing count
: > "$log"
passed_stages=() failed_stages=()

stage() {  # name, command...
  local name=$1; shift
  "$@"
  local status=$?
  if [ "$status" = 0 ]; then
    passed_stages+=("$name")
  else
    failed_stages+=("$name (status $status)")
    echo "stage FAILED: $name (status $status)"
  fi
}
# A stage that runs tests: its command's output goes to the log, and besides
# failing on its own status it fails when that output reports no test at all
# (a build that stopped early, a test directory with nothing in it).
test_stage() {  # name, command...
  local name=$1; shift
  local start
  start=$(wc -l < "$log")
  "$@"
  local status=$?
  local counted
  counted=$(tail -n +"$((start + 1))" "$log" | count_tests | awk '{ print $1 + $2 + $3 }')
  local why=
  [ "$status" = 0 ] || why="status $status"
  [ "$counted" != 0 ] || why="ran no test${why:+, $why}"
  if [ -z "$why" ]; then
    passed_stages+=("$name")
  else
    failed_stages+=("$name ($why)")
    echo "stage FAILED: $name ($why)"
  fi
}

# Tests reported in what the stages printed, as "passed failed skipped":
# ctest's summary (it counts a skipped test as not failed, and lists each
# skipped one as "(Skipped)": one that passed and reported a skip, never one
# that failed, as gtest_run.sh tells it), any line "WORD: N passed, N failed" alone (a
# script's own checks), each "SKIPPED: " line, and a fuzz target's
# "  executions: " (it ran clean) or "TARGET: FAILED".
count_tests() {
  awk '
    / tests passed, [0-9]+ tests failed out of [0-9]+$/ { p += $NF - $(NF - 5); f += $(NF - 5) }
    / \(Skipped\)$/ { p--; s++ }
    /^[A-Za-z][A-Za-z0-9_-]*: [0-9]+ passed, [0-9]+ failed$/ { p += $2; f += $4 }
    /^SKIPPED: / { s++ }
    /^  executions: / { p++ }
    /^[a-z0-9_]+_fuzz: FAILED$/ { f++ }
    END { print p + 0, f + 0, s + 0 }'
}

# Whether a sandbox can be made here, and if not, why and what to do.
sandbox_reason= sandbox_remedy=
probe_sandbox() {
  local out
  [ -x build/testsupport/qk-sandbox ] || return 0
  out=$(build/testsupport/qk-sandbox -- /bin/true 2>&1) && return 0
  sandbox_reason=$(sed -n 's/^qk-sandbox: cannot make a sandbox here: //p' <<<"$out")
  sandbox_remedy=$(sed -n 's/^qk-sandbox: what to do: //p' <<<"$out")
  if [ -n "$sandbox_reason" ]; then
    echo "No sandbox can be made here: the tests that need one will be skipped."
    echo "  why: $sandbox_reason"
    [ -z "$sandbox_remedy" ] || echo "  what to do: $sandbox_remedy"
  fi
}

# ctest marks a skipped test "***Skipped" only; the reason is in GoogleTest's
# output, which ctest keeps in its log: "file:line: Skipped", the message,
# then "[   SKIP   ] Suite.Name (N ms)" (as gtest_run.sh passes GoogleTest's
# "[  SKIPPED ]" on), and the test's end, "Test Passed." for one that ctest
# counted as skipped (its status said so), "Test Failed." for one that failed
# after it skipped.  Skips for want of a sandbox are followed by what to do
# about it.
show_skips() {  # build directory
  [ -f "$1/Testing/Temporary/LastTest.log" ] || return 0
  awk -v no_sandbox="$sandbox_reason" -v remedy="$sandbox_remedy" '
    /^[0-9]+\/[0-9]+ Testing: / { skip = ""; collecting = 0 }
    /: Skipped$/ { collecting = 1; reason = ""; next }
    collecting && /^\[   SKIP   \] .* \([0-9]+ ms\)$/ {
      skip = "SKIPPED " $4 ": " (reason == "" ? "(no reason given)" : reason)
      sandbox = no_sandbox != "" && reason == no_sandbox
      collecting = 0; next
    }
    collecting && NF { reason = reason (reason == "" ? "" : " ") $0 }
    /^Test Passed\.$/ && skip != "" { print skip; sandboxless += sandbox }
    /^Test (Passed|Failed)\.$/ { skip = "" }
    END {
      if (sandboxless && remedy != "")
        print "  (" sandboxless " of these for want of a sandbox; what to do: " remedy ")"
    }
  ' "$1/Testing/Temporary/LastTest.log"
}
run_ctest() {  # build directory, heading
  echo "=== $2 ($1/) ==="
  ctest --test-dir "$1" --output-on-failure --no-tests=error -j 2 --timeout 900 | tee -a "$log"
  local status=$?
  show_skips "$1"
  return $status
}
run_piped() {  # heading, command...
  echo "=== $1 ==="
  shift
  "$@" 2>&1 | tee -a "$log"
}

stage "setup and build" scripts/setup.sh --asan
probe_sandbox
test_stage "tests" run_ctest build "tests"
test_stage "sanitized tests" run_ctest build-asan "tests under AddressSanitizer + UndefinedBehaviorSanitizer"
test_stage "boot check" run_piped "boot check: the example rule and nicmatch in a Debian kernel booted under qemu" nicmatch/boot/boot_check.sh
test_stage "cross-architecture tests" run_piped "cross-architecture tests" scripts/cross-test.sh
test_stage "packages" run_piped "Debian and RPM packages" scripts/package.sh
test_stage "fuzzing" run_piped "fuzzing" scripts/fuzz.sh 30

# The whole run in one line, counting tests only; the stages that failed
# are named on a line of their own.
read -r passed failed skipped < <(count_tests < "$log")
join() { local IFS=';'; sed 's/;/, /g' <<<"$*"; }
if [ -n "$sandbox_reason" ] && [ "$skipped" != 0 ]; then
  echo "No sandbox could be made here, so the tests that need one were skipped${sandbox_remedy:+; what to do: $sandbox_remedy}"
fi
if ((${#failed_stages[@]})); then
  echo "stages passed: $(join "${passed_stages[@]}")"
  echo "suite: $passed passed, $failed failed, $skipped skipped"
  echo "FAILED stages: $(join "${failed_stages[@]}")"
  exit 1
fi
echo "stages passed: $(join "${passed_stages[@]}")"
echo "suite: $passed passed, $failed failed, $skipped skipped"
