#!/bin/bash
# SPDX-License-Identifier: MIT
# Whole-process comparison of imgseal with `openssl dgst -sha1` and `sha1sum`
# on the same files in the same run, for a 1 GiB image and for the largest
# image imgseal seals (2 GiB less one byte), and imgverify beside imgseal on
# the sealed 1 GiB image (in the same rounds, with its time over imgseal's):
#   - warm page cache: two warm-up rounds, then 9 rounds in which each program
#     runs once (the order rotating); medians, the median of each round's
#     time over OpenSSL's in the same round, and the median processor time
#     (user and system);
#   - cold page cache: the same, with the caches dropped before every run;
#   - peak anonymous memory (RssAnon, sampled every 2 ms in a separate run)
#     beside the peak resident memory (the kernel's maximum RSS at exit);
# then the engine's own benchmark (sha1_bench) in the same sitting, and the
# machine's load before and after.  Root is needed to drop the caches.  The
# images live in a scratch folder in the build folder, removed at the end; it
# must be on a disk-backed file system for the cold runs to mean anything.
#   imgseal/bench/imgseal_vs_peers.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
for tool in openssl sha1sum python3; do
  command -v "$tool" >/dev/null || { echo "needs $tool (apt-get install openssl coreutils python3)"; exit 1; }
done
[ "$(id -u)" = 0 ] || { echo "needs root, to drop the page cache before the cold runs"; exit 1; }
for prog in imgseal imgverify; do
  [ -x "$build/imgseal/$prog" ] || { echo "no $build/imgseal/$prog: build it first"; exit 1; }
done
scratch=$(mktemp -d "$build/imgseal-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
case $(stat -f -c %T "$scratch") in
  tmpfs|ramfs) echo "note: $scratch is in memory; the cold runs will be warm ones" ;;
esac
[ "$(df --output=avail -B1 "$scratch" | tail -1)" -gt $((4 << 30)) ] || { echo "needs 4 GiB free in $build"; exit 1; }

echo "load before: $(uptime)"
for size in 1073741824 2147483647; do
  head -c $((size - 32)) /dev/urandom > "$scratch/image-$size"
  head -c 32 /dev/zero >> "$scratch/image-$size"
  "$build/imgseal/imgseal" "$scratch/image-$size" > /dev/null   # later runs rewrite the same bytes
done
sync

python3 -u - "$build/imgseal/imgseal" "$build/imgseal/imgverify" "$scratch" <<'PY'
import os, statistics, subprocess, sys, time

imgseal, imgverify, scratch = sys.argv[1], sys.argv[2], sys.argv[3]
ROUNDS, WARMUP = 9, 2

def commands(image, size):
    cmds = [("imgseal", [imgseal, image]),
            ("openssl dgst -sha1", ["openssl", "dgst", "-sha1", image]),
            ("sha1sum", ["sha1sum", image])]
    if size == 1073741824:
        cmds.append(("imgverify", [imgverify, image]))
    return cmds

def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")

def timed(argv):
    """Wall-clock seconds, and the processor seconds (user and system) used."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{argv} failed")
    return wall, usage.ru_utime + usage.ru_stime

def rss_anon_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0

def memory(argv):
    """Peak RssAnon sampled while it runs, and the peak RSS, in KiB."""
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    peak_anon = 0
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        peak_anon = max(peak_anon, rss_anon_kib(proc.pid))
        time.sleep(0.002)
    if status != 0:
        sys.exit(f"{argv} failed")
    return peak_anon, usage.ru_maxrss

for size in (1073741824, 2147483647):
    image = f"{scratch}/image-{size}"
    cmds = commands(image, size)
    print(f"\n{size} bytes ({size / (1 << 30):.3f} GiB), {ROUNDS} paired rounds:")
    for cache in ("warm", "cold"):
        times = {name: [] for name, _ in cmds}
        cpu = {name: [] for name, _ in cmds}
        for r in range(-WARMUP if cache == "warm" else 0, ROUNDS):
            k = r % len(cmds)
            for name, argv in cmds[k:] + cmds[:k]:
                if cache == "cold":
                    drop_caches()
                t, c = timed(argv)
                if r >= 0:
                    times[name].append(t)
                    cpu[name].append(c)
        base = times["openssl dgst -sha1"]
        print(f"  {cache} page cache, load {os.getloadavg()[0]:.2f}:")
        for name, _ in cmds:
            ratios = [t / b for t, b in zip(times[name], base)]
            print(f"    {name:<20} median {statistics.median(times[name]):.3f} s  (min {min(times[name]):.3f})"
                  f"  x OpenSSL: median of rounds {statistics.median(ratios):.2f},"
                  f" of medians {statistics.median(times[name]) / statistics.median(base):.2f};"
                  f"  processor {statistics.median(cpu[name]):.3f} s")
        if "imgverify" in times:
            ratios = [v / s for v, s in zip(times["imgverify"], times["imgseal"])]
            print(f"    imgverify x imgseal: median of rounds {statistics.median(ratios):.3f},"
                  f" of medians {statistics.median(times['imgverify']) / statistics.median(times['imgseal']):.3f}"
                  f" (target: at most 1.05 warm)")
    print("  memory (warm page cache):")
    for name, argv in cmds:
        anon, rss = memory(argv)
        print(f"    {name:<20} peak RssAnon {anon:>8} KiB   peak resident {rss:>8} KiB"
              + ("  (target for imgverify: RssAnon at most 4096 KiB)" if name == "imgverify" else ""))
PY

bench="$build/imgseal/bench/sha1_bench"
if [ -x "$bench" ]; then
  echo
  echo "engine ($bench), load $(cut -d' ' -f1 /proc/loadavg):"
  "$bench" --benchmark_filter='/(4096|1048576|67108864)$' --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>&1 | grep -E '_median|^Run|^CPU|^Load'
fi
echo "load after: $(uptime)"
