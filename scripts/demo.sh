#!/bin/bash
# SPDX-License-Identifier: MIT
# Sets up, builds, and shows the programs at work on sample data, each in a
# throw-away sandbox (nothing is changed on this machine).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --demo
root=$PWD

echo
echo "=== imgseal: sealing an image; imgverify: checking it ==="
build/testsupport/qk-sandbox \
  --bind "$root/build/imgseal/imgseal:/qk/imgseal" --bind "$root/build/imgseal/imgverify:/qk/imgverify" \
  --bind "$root/demo:/demo" \
  -- /bin/sh /demo/imgseal.sh

echo
echo "=== nicmatch: choosing interface names ==="
build/testsupport/qk-sandbox --net \
  --bind "$root/build/nicmatch/nicmatch:/qk/nicmatch" --bind "$root/demo:/demo" \
  -- /bin/sh /demo/nicmatch.sh

echo
echo "=== orphdir: preparing lost+found ==="
build/testsupport/qk-sandbox --dev loop-control \
  --bind "$root/build/orphdir/orphdir:/qk/orphdir" --bind "$root/demo:/demo" \
  -- /bin/sh /demo/orphdir.sh
