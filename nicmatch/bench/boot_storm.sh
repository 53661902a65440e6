#!/bin/bash
# SPDX-License-Identifier: MIT
# A boot storm with the real device manager: in a sandbox with its own network
# namespace and a private /run, systemd-udevd (Debian's udev package) runs with
# the system's rules; N veth pairs appear at once (one `ip -batch`), and the
# time runs until every interface bears its configured name and the daemon's
# queue is empty (when some never get theirs: until the queue last emptied).
# Four ways of naming the same N addresses are timed, each with a freshly
# started daemon:
#   echo      a rule whose program is /bin/echo, printing the new name: the
#             floor for any program that names interfaces;
#   link      one .link file per address (MACAddress= match, Name=);
#   nicmatch  the example rule calling the built nicmatch, with one ifcfg-*
#             file per address;
#   unlocked  the same rule and files calling nicmatch_unlocked (built with the
#             benchmarks): a run's own work with no lock step, so that beside
#             nicmatch it shows what taking turns costs.
# Every program run is accounted for from the daemon's debug log: each must
# have exited with status 0 (a run ended by a signal or its alarm shows up
# there), and no lock file may be left.  The CPU time (user + system) of the
# programs the rules ran is summed from the times of the children the
# daemon's workers reaped (their own work, and that of the workers that ended
# before the storm did, counts too: the same for every way).
#   nicmatch/bench/boot_storm.sh [--hung-owner] [BUILD_DIR] [ROUNDS] [SIZES]
# SIZES defaults to "32 128 512"; each round times every size and way once.
# With --hung-owner, each nicmatch storm starts with the lock held by an owner
# that hangs (a stopped nicmatch run named in the lock file, which its alarm
# could not end): the queue waits out its patience, kills that owner, and must
# then name every interface all the same.
set -euo pipefail
cd "$(dirname "$0")/../.."
hung=no
if [ "${1:-}" = --hung-owner ]; then
  hung=yes
  shift
fi
build=$(realpath "${1:-build}")
rounds=${2:-1}
sizes=${3:-"32 128 512"}
udevd=/usr/lib/systemd/systemd-udevd
[ -x "$udevd" ] || { echo "needs $udevd (apt-get install udev)"; exit 1; }
[ -x "$build/nicmatch/nicmatch" ] || { echo "build nicmatch first: $build/nicmatch/nicmatch"; exit 1; }
peer=$build/nicmatch/bench/nicmatch_unlocked
[ -x "$peer" ] || { echo "build the benchmarks first (-DQK_BENCHMARKS=ON): $peer"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The shipped rule calls nicmatch where it is installed; here it is at /qk.
sed 's|PROGRAM="[^"]*"|PROGRAM="/qk/nicmatch"|' "$build/nicmatch/70-nicmatch.rules" > "$work/70-nicmatch.rules"
grep -q 'PROGRAM="/qk/nicmatch"' "$work/70-nicmatch.rules" || { echo "no PROGRAM in the example rule"; exit 1; }

cat > "$work/storm.sh" <<'INNER'
set -euo pipefail
shopt -s nullglob
rounds=$1 sizes=$2 udevd=$3 hung=$4

# The daemon sees every uevent of the host's devices too (only network devices
# belong to a namespace): keep the system's rules from writing the host's
# attributes or loading modules on their behalf.
mount -o remount,bind,ro /sys
if [ -d /usr/lib/modules ]; then mount -t tmpfs -o ro,mode=0755 none /usr/lib/modules; fi
mount -t tmpfs -o mode=0755 run /run
rm /etc/udev
mkdir -p /etc/udev/rules.d /etc/sysconfig/network-scripts
cfgdir=/etc/sysconfig/network-scripts
exec {tick}<> <(:)
nap() { read -r -t "$1" -u "$tick" || true; }

mac() { printf '02:%s:00:00:%02x:%02x' "$1" $(($2 / 256)) $(($2 % 256)); }

daemon_pid=
start_daemon() {
  rm -rf /run/udev
  "$udevd" --debug >> "$1" 2>&1 &
  daemon_pid=$!
  for _ in $(seq 200); do
    udevadm control --ping 2>/dev/null && return 0
    nap 0.05
  done
  echo "the daemon does not answer"; exit 1
}
# The CPU seconds (user + system) of the programs the workers ran so far: the
# children's times of each worker, and of the daemon (for workers it reaped).
programs_cpu() {
  local pid ticks=0 f
  for pid in "$daemon_pid" $(cat "/proc/$daemon_pid/task/$daemon_pid/children"); do
    f=($(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null)) || continue
    ticks=$((ticks + ${f[13]:-0} + ${f[14]:-0}))
  done
  awk -v t=$ticks -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }'
}
stop_daemon() {
  kill "$daemon_pid"
  wait "$daemon_pid" || true
}

remove_links() {
  local batch=$work/del.batch
  : > "$batch"
  for dev in /sys/class/net/*; do
    case ${dev##*/} in lan*|eth*) echo "link del ${dev##*/}" >> "$batch" ;; esac
  done
  if [ -s "$batch" ]; then ip -batch "$batch"; fi
}

# Ends once all n interfaces are named lanK and the queue is empty, or when
# the queue has stayed empty for 5 s without them; `settled` is when the queue
# was found empty for good.
await_storm() {
  local n=$1 limit=$((SECONDS + 120 + n / 2)) idle=0
  settled=
  while [ $SECONDS -lt $limit ]; do
    local named=(/sys/class/net/lan*)
    if [ ! -e /run/udev/queue ] && udevadm control --ping && [ ! -e /run/udev/queue ]; then
      [ $idle -eq 0 ] && settled=$EPOCHREALTIME
      [ ${#named[@]} -eq "$n" ] && return 0
      idle=$((idle + 1))
      [ $idle -gt 250 ] && return 1
    else
      idle=0
      settled=
    fi
    nap 0.02
  done
  return 1
}

storm() {
  local how=$1 n=$2 log=$work/udevd-$1-$2.log
  rm -f /etc/udev/rules.d/* /run/systemd/network/* "$log"
  mkdir -p /run/systemd/network
  case $how in
    echo)
      cat > /etc/udev/rules.d/70-storm-echo.rules <<'RULE'
SUBSYSTEM=="net", ACTION=="add", KERNEL=="eth*", ENV{STORM_NAME}="lan%n"
SUBSYSTEM=="net", ACTION=="add", PROGRAM="/bin/echo $env{STORM_NAME}", RESULT=="?*", NAME="$result"
RULE
      program=/bin/echo ;;
    link)
      for ((k = 0; k < n; k++)); do
        printf '[Match]\nMACAddress=%s\n\n[Link]\nName=lan%d\n' "$(mac aa $k)" $k > /run/systemd/network/10-lan$k.link
      done
      program= ;;
    nicmatch)
      cp /qk/70-nicmatch.rules /etc/udev/rules.d/
      program=/qk/nicmatch ;;
    unlocked)
      sed 's|PROGRAM="/qk/nicmatch"|PROGRAM="/qk/nicmatch_unlocked"|' /qk/70-nicmatch.rules > /etc/udev/rules.d/70-unlocked.rules
      program=/qk/nicmatch_unlocked ;;
  esac
  start_daemon "$log"
  local owner=
  if [ "$how" = nicmatch ] && [ "$hung" = yes ]; then
    # Only a nicmatch run counts as an owner (another program's pid in the
    # file makes it stale): one waits behind an empty lock file, which it
    # would only take for a dead writer's after a second, is stopped there,
    # and is then named in that file.
    : > /dev/.nicmatch.lock
    INTERFACE=hung-owner /qk/nicmatch > /dev/null &
    owner=$!
    nap 0.3
    kill -STOP "$owner"
    echo "$owner" > /dev/.nicmatch.lock
  fi
  local t0 t1 ok=yes
  t0=$EPOCHREALTIME
  ip -batch "$work/add-$n.batch"
  await_storm "$n" || ok=no
  t1=${settled:-$EPOCHREALTIME}
  local cpu
  cpu=$(programs_cpu)
  stop_daemon

  local named=(/sys/class/net/lan*) runs=0 good=0
  if [ -n "$program" ]; then
    runs=$(grep -c "Starting '$program" "$log" || true)
    good=$(grep -c "Process '$program.*' succeeded" "$log" || true)
  fi
  # Runs of the program that failed or were killed, and workers the daemon
  # had to kill; other programs of the system's rules may fail on the host's
  # devices and do not count.
  local bad=0
  if [ -n "$program" ]; then
    bad=$(grep -c -E "'$program[^']*' (terminated by signal|failed)" "$log" || true)
  fi
  bad=$((bad + $(grep -c -E "timed out|[Kk]illing|taking a long time" "$log" || true)))
  # How the hung owner ended (the shell may have reaped it already).
  local owner_end=
  if [ -n "$owner" ]; then
    if [ -e "/proc/$owner" ] && [ "$(awk '{ print $3 }' "/proc/$owner/stat" 2>/dev/null)" != Z ]; then
      owner_end=" owner=alive"
      kill -KILL "$owner" 2>/dev/null || true
      wait "$owner" || true
    else
      local st=0
      wait "$owner" || st=$?
      if [ $st -eq 137 ]; then owner_end=" owner=killed"; else owner_end=" owner=status$st"; fi
    fi
  fi
  local lock=no
  [ -e /dev/.nicmatch.lock ] && lock=yes
  rm -f /dev/.nicmatch.lock
  remove_links
  echo "$how $n $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }') named=${#named[@]}/$n runs=$runs ok_exits=$good bad=$bad lock_left=$lock done=$ok cpu=$cpu$owner_end" \
    >> "$work/results"
}

work=/tmp/storm
mkdir -p "$work"
for n in $sizes; do
  : > "$work/add-$n.batch"
  for ((k = 0; k < n; k++)); do
    echo "link add eth$k address $(mac aa $k) type veth peer name p$k address $(mac bb $k)" >> "$work/add-$n.batch"
  done
done

for ((r = 1; r <= rounds; r++)); do
  echo "round $r: $(uptime)" >> "$work/results"
  for n in $sizes; do
    rm -f "$cfgdir"/*
    for ((k = 0; k < n; k++)); do
      printf 'TYPE=Ethernet\nBOOTPROTO=none\nONBOOT=yes\nDEVICE=lan%d\nHWADDR=%s\n' $k "$(mac aa $k)" > "$cfgdir/ifcfg-lan$k"
    done
    # Alternate the order from round to round, so that drift in the load
    # does not always favour the same way.
    if [ $((r % 2)) -eq 1 ]; then order="echo link nicmatch unlocked"; else order="unlocked nicmatch link echo"; fi
    for how in $order; do storm "$how" "$n"; done
  done
  echo "round $r done: $(uptime)" >> "$work/results"
done
cat "$work/results"
INNER

"$build/testsupport/qk-sandbox" --net --bind "$build/nicmatch/nicmatch:/qk/nicmatch" --bind "$peer:/qk/nicmatch_unlocked" \
  --bind "$work/70-nicmatch.rules:/qk/70-nicmatch.rules" --bind "$work/storm.sh:/storm.sh" \
  -- /bin/bash /storm.sh "$rounds" "$sizes" "$udevd" "$hung" > "$work/out" 2>&1 || { cat "$work/out"; exit 1; }

python3 - "$work/out" "$hung" <<'PY'
import collections, statistics, sys
ways = ("echo", "link", "nicmatch", "unlocked")
rows = collections.defaultdict(lambda: collections.defaultdict(list))
cpu = collections.defaultdict(lambda: collections.defaultdict(list))
named_by_nicmatch = collections.defaultdict(list)
problems = []
for line in open(sys.argv[1]):
    f = line.split()
    if not f or f[0] not in ways:
        print(line.rstrip())
        continue
    how, n, secs = f[0], int(f[1]), float(f[2])
    info = dict(x.split("=", 1) for x in f[3:])
    rows[n][how].append(secs)
    cpu[n][how].append(float(info["cpu"]))
    named, want = info["named"].split("/")
    if how == "nicmatch":
        named_by_nicmatch[n].append(int(named))
    runs = int(info["runs"])
    if (named != want or info["done"] != "yes" or info["bad"] != "0" or info["lock_left"] != "no"
            or info.get("owner", "killed") != "killed"
            or (how != "link" and (runs != 2 * n or info["ok_exits"] != str(runs)))):
        problems.append(line.rstrip())
print()
if sys.argv[2] == "yes":
    print("nicmatch storms started with a hung owner holding the lock")
print("times (s), their ratios, and the CPU (s) of the programs run; nm = nicmatch, un = unlocked")
print("     N    echo   .link      nm      un   nm/echo   un/echo   nm/un   named by nm   CPU echo   CPU nm   CPU un")
def line(n, t, c, named):
    e, l, m, u = (t[k] for k in ways)
    print(f"  {n:4}  {e:6.2f}  {l:6.2f}  {m:6.2f}  {u:6.2f}  {m / e:8.2f}  {u / e:8.2f}  {m / u:6.2f}  {named:>12}"
          f"  {c['echo']:9.2f}  {c['nicmatch']:7.2f}  {c['unlocked']:7.2f}")
for n in sorted(rows):
    r, c = rows[n], cpu[n]
    for i in range(len(r["nicmatch"])):
        line(n, {k: r[k][i] for k in ways}, {k: c[k][i] for k in ways}, f"{named_by_nicmatch[n][i]}/{n}")
    if len(r["nicmatch"]) > 1:
        line(n, {k: statistics.median(r[k]) for k in ways}, {k: statistics.median(c[k]) for k in ways}, "(medians)")
        print(f"  {n:4}  CPU summed over the rounds: " + ", ".join(f"{k} {sum(c[k]):.2f} s" for k in ways))
print()
if problems:
    print("NOT ALL WELL (every interface named, every run exited 0, no lock left, a hung owner killed):")
    for p in problems:
        print("  " + p)
    sys.exit(1)
print("every storm: all interfaces named, every program run exited with status 0, no lock left"
      + (", the hung owner killed" if sys.argv[2] == "yes" else ""))
PY
