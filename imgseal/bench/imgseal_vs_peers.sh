#!/bin/bash
# SPDX-License-Identifier: MIT
# Whole-process comparison on one 1 GiB file with a warm page cache: imgseal
# against `openssl dgst -sha1` and `sha1sum` on the same file in the same run
# (hyperfine medians), and the peak resident memory of each (GNU time).
# Runs in a throw-away sandbox; the file lives in its tmpfs.
#   imgseal/bench/imgseal_vs_peers.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
for tool in hyperfine /usr/bin/time openssl sha1sum; do
  command -v "$tool" >/dev/null || { echo "needs $tool (apt-get install hyperfine time openssl coreutils)"; exit 1; }
done
inner=$(mktemp)
trap 'rm -f "$inner"' EXIT
cat > "$inner" <<'INNER'
set -eu
exec 2>&1
cd /tmp
head -c 1073741792 /dev/urandom > image.bin
head -c 32 /dev/zero >> image.bin
/qk/imgseal image.bin > /dev/null      # sealed once; later runs rewrite the same bytes
hyperfine -N --warmup 2 --runs 9 --export-json /tmp/h.json \
  '/qk/imgseal image.bin' 'openssl dgst -sha1 image.bin' 'sha1sum image.bin' > /dev/null
python3 -u - <<'PY'
import json
r = json.load(open('/tmp/h.json'))['results']
base = r[0]['median']
for x in r:
    print(f"  {x['command']:<32} median {x['median']:.3f} s   imgseal/this: {base / x['median']:.2f}")
PY
for cmd in '/qk/imgseal image.bin' 'openssl dgst -sha1 image.bin' 'sha1sum image.bin'; do
  /usr/bin/time -f "  %M KiB peak resident  $cmd" $cmd > /dev/null
done
INNER
"$build/testsupport/qk-sandbox" --bind "$build/imgseal/imgseal:/qk/imgseal" --bind "$inner:/bench.sh" \
  -- /bin/sh /bench.sh 2>&1
