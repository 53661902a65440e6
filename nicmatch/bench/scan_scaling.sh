#!/bin/bash
# SPDX-License-Identifier: MIT
# Whole-process time of one nicmatch run against 10, 100, 1,000 and 10,000
# configuration files (hyperfine medians), in a sandbox with a veth interface,
# to show that the scan grows linearly with the number of files.
#   nicmatch/bench/scan_scaling.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
command -v hyperfine >/dev/null || { echo "needs hyperfine (apt-get install hyperfine)"; exit 1; }
inner=$(mktemp)
trap 'rm -f "$inner"' EXIT
cat > "$inner" <<'INNER'
set -eu
ip link add eth0 address 02:00:00:00:00:01 type veth peer name peer0
dir=/etc/sysconfig/network-scripts
for n in 10 100 1000 10000; do
  rm -rf "$dir"; mkdir -p "$dir"
  i=1
  while [ $i -lt $n ]; do
    printf 'TYPE=Ethernet\nBOOTPROTO=dhcp\nDEVICE=net%d\nHWADDR=02:00:01:%02x:%02x:%02x\nONBOOT=yes\n' \
      $i $((i / 65536)) $((i / 256 % 256)) $((i % 256)) > "$dir/ifcfg-net$i"
    i=$((i + 1))
  done
  printf 'DEVICE=lan0\nHWADDR=02:00:00:00:00:01\n' > "$dir/ifcfg-lan0"
  test "$(INTERFACE=eth0 /qk/nicmatch)" = lan0
  hyperfine -N --warmup 3 --runs 21 --export-json /tmp/h.json 'env INTERFACE=eth0 /qk/nicmatch' > /dev/null 2>&1
  python3 -c "import json; r=json.load(open('/tmp/h.json'))['results'][0]; print($n, r['median'])" >> /tmp/medians
done
python3 - <<'PY'
rows = [line.split() for line in open('/tmp/medians')]
n0, t0 = int(rows[0][0]), float(rows[0][1])
for n, t in rows:
    n, t = int(n), float(t)
    extra = f"  ({(t - t0) * 1e6 / (n - n0):5.2f} us for each file beyond {n0})" if n > n0 else ""
    print(f"  {n:>6} files: median {t * 1000:7.2f} ms{extra}")
PY
INNER
"$build/testsupport/qk-sandbox" --net --bind "$build/nicmatch/nicmatch:/qk/nicmatch" --bind "$inner:/bench.sh" \
  -- /bin/sh /bench.sh 2>&1
