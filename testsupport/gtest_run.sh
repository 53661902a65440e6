#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs a GoogleTest program for ctest (see qk_discover_tests).  Discovery
# gives every test a skip pattern, "[  SKIPPED ]", that ctest obeys whatever
# the test's status: a test that failed after a skip (tripping the leak
# checker at exit, say), or whose output holds the text, would be counted as
# skipped.  So the text is passed on as "[   SKIP   ]", which the pattern
# does not match, and a run that ended with status 0 after GoogleTest's own
# summary of skipped tests ends with status 77, which ctest is told means
# skipped: a test is skipped only when it passed and reported a skip.
"$@" 2>&1 | awk '
  /^\[  SKIPPED \] [0-9]+ tests?, listed below:$/ { skipped = 1 }
  { gsub(/\[  SKIPPED \]/, "[   SKIP   ]"); print; fflush() }
  END { exit skipped ? 77 : 0 }'
status=("${PIPESTATUS[@]}")
[ "${status[0]}" = 0 ] && exit "${status[1]}"
exit "${status[0]}"
