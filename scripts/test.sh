#!/bin/bash
# Sets up and builds (plainly and with the sanitizers), then runs the whole
# test suite in both builds.  Tests that need namespaces or root report
# themselves as skipped, with the reason, where those are not available.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --asan

echo "=== tests (build/) ==="
ctest --test-dir build --output-on-failure -j 2 --timeout 600
echo "=== tests under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/) ==="
ctest --test-dir build-asan --output-on-failure -j 2 --timeout 600
echo "=== cross-architecture tests ==="
scripts/cross-test.sh
echo "=== Debian package ==="
scripts/package.sh
echo "=== fuzzing ==="
scripts/fuzz.sh 30
