#!/bin/bash
# SPDX-License-Identifier: MIT
# How long a released lock stays free while runs wait for it.  N runs of the
# built nicmatch start at once in a private mount namespace with a private
# tmpfs /dev (the lock's directory); a preloaded shim makes each hold the lock
# HOLD_US and logs, on the boot clock, when it first tried the lock and when
# it took it.  A hand-over is the time from one run's release (taking it plus
# HOLD_US) to the next run taking the lock, counted only where some run had
# already been waiting at that release.  Exits 1 when any such hand-over took
# LIMIT_MS or more.
#   nicmatch/bench/handover_gaps.sh [BUILD_DIR] [N] [ROUNDS] [HOLD_US] [LIMIT_MS]
# Run as root (for the namespace); the runs themselves run as uid 43210.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
n=${2:-20} rounds=${3:-10} hold=${4:-5000} limit=${5:-50}
bin=$build/nicmatch/nicmatch
[ -x "$bin" ] || { echo "build nicmatch first: $bin"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
cat > "$work/shim.c" <<'SHIM'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
static double first = -1;
static double now(void) { struct timespec t; clock_gettime(CLOCK_BOOTTIME, &t); return t.tv_sec + t.tv_nsec / 1e9; }
int linkat(int a, const char *b, int c, const char *d, int e)
{
    static int (*real)(int, const char *, int, const char *, int);
    if (!real) real = dlsym(RTLD_NEXT, "linkat");
    if (first < 0) first = now();
    return real(a, b, c, d, e);
}
char *getenv(const char *name)
{
    static char *(*real)(const char *);
    if (!real) real = dlsym(RTLD_NEXT, "getenv");
    if (strcmp(name, "INTERFACE") != 0) return real(name);
    double took = now();
    char line[96];
    int len = snprintf(line, sizeof line, "%.6f %.6f\n", first < 0 ? took : first, took);
    int fd = open(real("SHIM_LOG"), O_WRONLY | O_APPEND);
    if (fd >= 0) { ssize_t w = write(fd, line, (size_t)len); (void)w; close(fd); }
    usleep((useconds_t)atoi(real("SHIM_HOLD_US")));
    return NULL;
}
SHIM
cc -O2 -shared -fPIC -o "$work/shim.so" "$work/shim.c" -ldl
cp "$bin" "$work/nicmatch"
cat > "$work/crowd.sh" <<'CROWD'
set -e
mount --make-rprivate /
mount -t tmpfs -o mode=1777 none /dev
mknod -m 666 /dev/null c 1 3
for ((i = 0; i < $2; i++)); do
  SHIM_LOG=$3 SHIM_HOLD_US=$4 LD_PRELOAD=$1/shim.so setpriv --reuid=43210 --regid=43210 --clear-groups \
    --inh-caps=+kill,+sys_ptrace --ambient-caps=+kill,+sys_ptrace $1/nicmatch > /dev/null &
done
wait
CROWD
worst=0
for ((r = 1; r <= rounds; r++)); do
  log=$work/log.$r
  : > "$log"; chmod 666 "$log"
  unshare -m bash "$work/crowd.sh" "$work" "$n" "$log" "$hold"
  line=$(sort -k2 -n "$log" | awk -v h="$hold" -v lim="$limit" '
    { st[NR] = $1; at[NR] = $2 }
    END {
      for (i = 1; i < NR; i++) {
        rel = at[i] + h / 1e6; w = 0
        for (j = i + 1; j <= NR; j++) if (st[j] < rel) w++
        if (w == 0) continue
        g = (at[i + 1] - rel) * 1000; c++
        if (g > mx) mx = g
        if (g >= lim) over++
      }
      printf "runs %d, hand-overs with a run waiting %d, longest %.1f ms, %d of them %d ms or more\n", NR, c, mx, over, lim
    }')
  echo "round $r: $line"
  longest=$(echo "$line" | sed 's/.*longest \([0-9.]*\) ms.*/\1/')
  worst=$(echo "$worst $longest" | awk '{print ($2 > $1) ? $2 : $1}')
done
echo "longest hand-over with a run waiting, over $rounds rounds of $n runs holding ${hold} us: $worst ms"
awk -v w="$worst" -v l="$limit" 'BEGIN { exit !(w < l) }'
