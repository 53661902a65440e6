#!/bin/bash
# SPDX-License-Identifier: MIT
# What the wait for a file's times to fall behind the clock costs: the
# whole-process time of imgverify and imgseal on a 50 KB image written just
# before the run ("fresh"), and on one whose modification time was then set
# a day back ("mtime old", which is not waited for), on ext2 (times in ticks
# of the clock), tmpfs, and ext2 with 128-byte inodes (whole seconds), as
# nobody (no lease) and as root (a lease); a build without the wait (for
# instance the one before it) takes turns with this one in every round.  Each
# write comes at a random moment: after a sleep of up to 10 ms, or up to a
# second on the whole-second file system.  Runs in a sandbox (loop mounts),
# as root.
#   imgseal/bench/fresh_file_wait.sh BUILD_DIR OTHER_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}") other=$(realpath "$2")
[ -x "$build/testsupport/qk-sandbox" ] || { echo "no $build/testsupport/qk-sandbox: build it first"; exit 1; }
scratch=$(mktemp -d)
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
for b in this:"$build" other:"$other"; do
  mkdir "$scratch/${b%%:*}"
  cp "${b#*:}/imgseal/imgseal" "${b#*:}/imgseal/imgverify" "$scratch/${b%%:*}/"
done
cat > "$scratch/run.sh" <<'SH'
set -e
for i in $(seq 0 63); do [ -e /dev/loop$i ] || mknod /dev/loop$i b 7 $i; done
for inode in 256 128; do
  truncate -s 8M /tmp/ext2-$inode.img
  mkfs.ext2 -q -F -I $inode /tmp/ext2-$inode.img 2>/dev/null
  mkdir /tmp/ext2-$inode
  mount -o loop /tmp/ext2-$inode.img /tmp/ext2-$inode
done
mkdir /tmp/tmpfs && mount -t tmpfs tmpfs /tmp/tmpfs
exec python3 - <<'PY'
import os, random, statistics, subprocess, time
image = os.urandom(50000 - 32) + bytes(32)
def run(argv, uid):
    def drop():
        if uid is not None:
            os.setgroups([]); os.setgid(uid); os.setuid(uid)
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=drop)
    return time.perf_counter() - start
def write(path, old, jitter):
    time.sleep(random.uniform(0, jitter))
    with open(path, "wb") as f:
        f.write(image)
    os.chmod(path, 0o666)
    if old:
        os.utime(path, (time.time() - 86400,) * 2)
for fs, rounds, jitter in (("ext2-256", 100, 0.01), ("tmpfs", 100, 0.01), ("ext2-128", 20, 1.0)):
    for prog, uid in (("imgverify", 65534), ("imgseal", 65534), ("imgseal", None)):
        times = {}
        for _ in range(rounds):
            for old in (False, True):
                for build in ("this", "other"):
                    write(f"/tmp/{fs}/image", old, jitter)
                    times.setdefault((build, old), []).append(run([f"/qk/{build}/{prog}", f"/tmp/{fs}/image"], uid))
        line = f"{fs:9} {prog:9} {'nobody' if uid else 'root':6}"
        for old in (False, True):
            for build in ("this", "other"):
                t = times[(build, old)]
                line += (f" | {build} {'mtime-old' if old else 'fresh'}: median {statistics.median(t) * 1000:.1f}"
                         f" max {max(t) * 1000:.1f} ms")
        print(line, flush=True)
PY
SH
echo "load before: $(uptime)"
"$build/testsupport/qk-sandbox" --bind "$scratch:/qk" --dev loop-control -- /bin/bash /qk/run.sh
echo "load after: $(uptime)"
