#!/bin/bash
# SPDX-License-Identifier: MIT
# The whole chain at a real boot: a Debian kernel boots under qemu (software
# emulation, one CPU, 512 MiB) into an initramfs made here from Debian
# packages alone: busybox-static, the device manager (systemd-udevd and
# udevadm, with the libraries ldd names), the built nicmatch with GLib, the
# example rule as built, the NIC drivers with their dependencies, and one
# ifcfg-lanK file per NIC binding its MAC.  The kernel package that
# linux-image-amd64 depends on is fetched with `apt-get download` and
# unpacked with `dpkg-deb -x` into BUILD/boot-check/ (kept there for the next
# run); nothing is installed on the host.  The NICs (24 virtio-net, 2 e1000,
# 2 e1000e) sit on a qemu hub with no other port, so no frame leaves the
# guest, and carry no option ROM.
#
# In the guest, init loads the drivers (the interfaces appear as ethN), starts
# the daemon, and times the coldplug (`udevadm trigger` of every device, then
# `udevadm settle`).  It reports over the serial console, one "qk: ..." line
# per fact: each interface's name and address, how every rule program run
# ended (from the daemon's debug log), whether the lock file is left.
#
#   nicmatch/boot/boot_check.sh [BUILD_DIR]
# Three boots: one plain; one with the lock held by a hung owner (a real
# nicmatch run, blocked reading its address and then stopped before coldplug,
# so that its alarm cannot end it); and one with the distribution's own
# device-manager rules and .link files (this machine's /usr/lib/udev/rules.d
# and /usr/lib/systemd/network) beside the example rule, where no ifcfg file
# binds some of the NICs.  Each must name every NIC bound by a file from its
# file (each MAC to its name), the others in the third boot by the
# distribution's naming scheme (none left ethN, none lanK), leave the loopback
# interface alone although a template file binds its all-zero address, have
# every nicmatch run exit with status 0 and leave no lock file; the hung owner
# must have been killed.
# Prints "ok: ..." or "FAILED: ..." per check and then "boot: N passed, N
# failed"; status 1 on any failure.  Where qemu, busybox-static, the daemon
# or the kernel package cannot be had, prints "SKIPPED: boot check: REASON"
# and exits 0.
#
#   nicmatch/boot/boot_check.sh --bench [--icount] [ROUNDS] [BUILD_DIR]
# Times the coldplug with the example rule (nicmatch), with a rule that runs
# /bin/echo to print the name (the floor for any program that names
# interfaces), and with no rule, each in boots of its own, ROUNDS rounds
# (default 3) in alternating order, and prints the times and their ratios.
# Under emulation the guest's clock follows the host's, so other load on the
# host shows in the times; with --icount the guest's clock counts the
# instructions it executes instead (one nanosecond each), which the host's
# load does not change, and the times are of work done, not of a real
# machine's speed.
set -uo pipefail
cd "$(dirname "$0")/../.."

mode=check rounds=3 clock=()
if [ "${1:-}" = --bench ]; then
  mode=bench
  shift
  if [ "${1:-}" = --icount ]; then
    clock=(-icount shift=0,sleep=on)
    shift
  fi
  case ${1:-} in [0-9]*) rounds=$1; shift ;; esac
fi
build=$(realpath "${1:-build}")

skip() {
  echo "SKIPPED: boot check: $*"
  exit 0
}
started=$SECONDS

[ "$(dpkg --print-architecture)" = amd64 ] ||
  skip "the guest runs this machine's programs, and is amd64; this machine is $(dpkg --print-architecture)"
qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 is not installed (Debian package qemu-system-x86)"
"$qemu" -accel help 2>/dev/null | grep -qx tcg || skip "this qemu-system-x86_64 has no software emulation (TCG)"
[ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1 ||
  skip "no static /bin/busybox (Debian package busybox-static)"
udevadm=/usr/bin/udevadm
[ -x "$udevadm" ] && [ -e /usr/lib/systemd/systemd-udevd ] || skip "the device manager is not installed (Debian package udev)"
nicmatch=$build/nicmatch/nicmatch rule=$build/nicmatch/70-nicmatch.rules
[ -x "$nicmatch" ] && [ -f "$rule" ] || { echo "build nicmatch first: $nicmatch"; exit 1; }
# The rule as built names where nicmatch is installed; it goes there in the guest.
nicmatch_at=$(sed -n 's/.*PROGRAM="\([^" ]*\)".*/\1/p' "$rule")
[ -n "$nicmatch_at" ] || { echo "no PROGRAM in $rule"; exit 1; }

# The kernel: the package linux-image-amd64 depends on, fetched once into the
# build tree and unpacked there (the last one fetched is kept).
cache=$build/boot-check
mkdir -p "$cache/deb"
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
[ -n "$kpkg" ] || skip "apt knows no linux-image-amd64 (apt-get update first)"
fetch_kernel() {
  (cd "$cache/deb" && apt-get download -q "$kpkg" >download.log 2>&1)
}
shopt -s nullglob
debs=("$cache/deb/${kpkg}_"*.deb)
if ((${#debs[@]} == 0)); then
  # Stale package lists name a version the mirror no longer has: update once.
  if ! fetch_kernel && [ "$(id -u)" = 0 ] && apt-get update -q >/dev/null 2>&1; then
    fetch_kernel
  fi
  debs=("$cache/deb/${kpkg}_"*.deb)
  ((${#debs[@]})) || skip "cannot download $kpkg: $(grep -m1 -E '^(E|W):' "$cache/deb/download.log")"
fi
deb=${debs[-1]}
kroot=$cache/kernel
if [ "$(cat "$kroot.from" 2>/dev/null)" != "${deb##*/}" ]; then
  rm -rf "$kroot" "$kroot.from" "$cache/deb/download.log"
  find "$cache/deb" -name '*.deb' ! -name "${deb##*/}" -delete
  dpkg-deb -x "$deb" "$kroot" || skip "cannot unpack $deb"
  echo "${deb##*/}" > "$kroot.from"
fi
vmlinuz=("$kroot"/boot/vmlinuz-*)
((${#vmlinuz[@]} == 1)) || skip "no single kernel image in $deb"
kver=${vmlinuz[0]##*/vmlinuz-}
# Debian 12's kernel packages ship their modules under /lib, Debian 13's
# under /usr/lib.
kmods=
for dir in "$kroot/usr/lib/modules/$kver" "$kroot/lib/modules/$kver"; do
  [ -f "$dir/modules.order" ] && { kmods=$dir; break; }
done
[ -n "$kmods" ] || skip "no modules.order in $deb"

# The NICs: K is the NIC's place on the command line, its MAC 02:51:4b:00:00:K
# (in hex), its configured name lanK.
models=()
for ((k = 0; k < 24; k++)); do models+=(virtio-net-pci); done
models+=(e1000 e1000 e1000e e1000e)
nics=${#models[@]}
mac() { printf '02:51:4b:00:00:%02x' "$1"; }
# The NICs that no ifcfg file binds in the boot with the distribution's rules.
unbound="3 17 25 27"

# The initramfs.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,run,tmp,etc/udev/rules.d,etc/sysconfig/network-scripts}
mkdir -p "$root/usr/lib/systemd" "$root/qk"
add_program() {  # host path, guest path
  mkdir -p "$root$(dirname "$2")"
  cp -L "$1" "$root$2"
  local lib
  for lib in $(ldd "$1" 2>/dev/null | grep -o '/[^ ]*'); do
    [ -e "$root$lib" ] || cp -L --parents "$lib" "$root"
  done
}
cp /bin/busybox "$root/bin/busybox"
for applet in $(/bin/busybox --list); do
  # /bin/echo is the real one (coreutils): the floor is a program linked
  # against libc, like nicmatch.
  [ "$applet" = busybox ] || [ "$applet" = echo ] || ln -s busybox "$root/bin/$applet"
done
add_program /bin/echo /bin/echo
add_program "$udevadm" /usr/bin/udevadm
ln -s ../../bin/udevadm "$root/usr/lib/systemd/systemd-udevd"
add_program "$nicmatch" "$nicmatch_at"
cp "$rule" "$root/qk/nicmatch.rules"
# The distribution's rules and .link files, for the boot that uses them.
mkdir -p "$root/qk/distro/rules.d" "$root/qk/distro/network"
cp /usr/lib/udev/rules.d/*.rules "$root/qk/distro/rules.d/" 2>/dev/null
cp /usr/lib/systemd/network/*.link "$root/qk/distro/network/" 2>/dev/null
# The floor: the same rule with a program that prints the name at once.
sed 's|PROGRAM="[^"]*"|PROGRAM="/bin/echo lan%n"|' "$rule" > "$root/qk/echo.rules"
grep -q 'PROGRAM="/bin/echo lan%n"' "$root/qk/echo.rules" || { echo "cannot make the echo rule from $rule"; exit 1; }

# The drivers and the modules they depend on (each module's depends= entry
# in its .modinfo section), uncompressed; depmod then indexes just these.
# Those built into the kernel (Debian 13 builds virtio_pci in) need nothing.
drivers=
for m in virtio_pci virtio_net e1000 e1000e; do
  grep -q -E "(^|/)${m//_/[-_]}\.ko\$" "$kmods/modules.builtin" || drivers+="${drivers:+ }$m"
done
mkdir -p "$root/lib/modules/$kver"
cp "$kmods"/modules.{builtin,order} "$root/lib/modules/$kver/"
need=($drivers) seen=" "
while ((${#need[@]})); do
  m=${need[0]}
  need=("${need[@]:1}")
  [[ $seen == *" $m "* ]] && continue
  seen+="$m "
  f=$(grep -m1 -E "(^|/)${m//_/[-_]}\.ko(\.(xz|gz))?\$" "$kmods/modules.order") || skip "no module $m in $kver"
  # The order names a compressed module with or without its suffix.
  f=${f%.xz} f=${f%.gz} src=
  for z in "" .xz .gz; do
    [ -e "$kmods/$f$z" ] && { src=$kmods/$f$z; break; }
  done
  [ -n "$src" ] || skip "module $f listed but not shipped in $deb"
  mkdir -p "$root/lib/modules/$kver/$(dirname "$f")"
  case $src in
    *.xz) /bin/busybox xzcat "$src" ;;
    *.gz) /bin/busybox zcat "$src" ;;
    *) cat "$src" ;;
  esac > "$root/lib/modules/$kver/${f%.ko*}.ko"
  need+=($(tr '\0' '\n' < "$root/lib/modules/$kver/${f%.ko*}.ko" | sed -n 's/^depends=//p' | tr ',' ' '))
done
sed -i -E 's/\.ko\.(xz|gz)$/.ko/' "$root/lib/modules/$kver/modules.order"
/bin/busybox depmod -b "$root" "$kver" || { echo "depmod failed in the initramfs"; exit 1; }

cfg=$root/etc/sysconfig/network-scripts
for ((k = 0; k < nics; k++)); do
  printf 'TYPE=Ethernet\nBOOTPROTO=none\nONBOOT=yes\nDEVICE=lan%d\nHWADDR=%s\n' $k "$(mac $k)" > "$cfg/ifcfg-lan$k"
done
# A template file binding the all-zero address, which the loopback interface
# has: the rule must not rename it.
printf 'DEVICE=tmpl0\nHWADDR=00:00:00:00:00:00\n' > "$cfg/ifcfg-tmpl"

cat > "$root/init" <<INIT
#!/bin/sh
nicmatch=$nicmatch_at drivers="$drivers" unbound="$unbound"
INIT
cat >> "$root/init" <<'INIT'
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs run /run
mode=$(sed -n 's/.* qk\.mode=\([a-z-]*\).*/\1/p' /proc/cmdline)
say() { echo "qk: $*"; }
now() { cut -d' ' -f1 /proc/uptime; }
say init $(now)
for m in $drivers; do modprobe $m || say "modprobe $m failed"; done
say drivers $(now) $(ls /sys/class/net | wc -l)

case $mode in
  check|hung|nicmatch) cp /qk/nicmatch.rules /etc/udev/rules.d/70-nicmatch.rules ;;
  echo) cp /qk/echo.rules /etc/udev/rules.d/70-echo.rules ;;
  distro)
    cp /qk/nicmatch.rules /etc/udev/rules.d/70-nicmatch.rules
    mkdir -p /usr/lib/udev /usr/lib/systemd
    cp -r /qk/distro/rules.d /usr/lib/udev/
    cp -r /qk/distro/network /usr/lib/systemd/
    for k in $unbound; do rm /etc/sysconfig/network-scripts/ifcfg-lan$k; done ;;
esac

owner=
if [ "$mode" = hung ]; then
  # A nicmatch run takes the lock and blocks reading its address (a FIFO
  # that nobody writes, in a mount namespace of its own); stopped, it hangs
  # with the lock, and its alarm cannot end it.
  unshare -m sh -c 'mount -t tmpfs none /sys/class/net && mkdir /sys/class/net/hang &&
    mkfifo /sys/class/net/hang/address && INTERFACE=hang exec '"$nicmatch" &
  owner=$!
  for i in $(seq 250); do
    [ "$(cat /dev/.nicmatch.lock 2>/dev/null)" = "$owner" ] && break
    usleep 20000
  done
  kill -STOP $owner
  usleep 100000
  say owner $owner $(cat /dev/.nicmatch.lock 2>/dev/null) $(sed 's/.*) //; s/ .*//' /proc/$owner/stat)
fi

debug=
[ "$mode" = check ] || [ "$mode" = hung ] || [ "$mode" = distro ] && debug=--debug
/usr/lib/systemd/systemd-udevd $debug > /run/udevd.log 2>&1 &
for i in $(seq 200); do udevadm control --ping 2>/dev/null && break; usleep 50000; done
t0=$(now)
udevadm trigger --type=subsystems --action=add
udevadm trigger --type=devices --action=add
udevadm settle --timeout=150 || say "settle timed out"
t1=$(now)
say coldplug $(awk -v a=$t0 -v b=$t1 'BEGIN { printf "%.2f", b - a }')

for dev in /sys/class/net/*; do say iface ${dev##*/} $(cat $dev/address); done
if [ -n "$debug" ]; then
  say runs $(grep -c "Starting '$nicmatch" /run/udevd.log) \
    ok $(grep -c "Process '$nicmatch' succeeded" /run/udevd.log) \
    bad $(grep -c -E "'$nicmatch' (terminated by signal|failed)|timed out|[Kk]illing|taking a long time" /run/udevd.log)
fi
if [ -n "$owner" ]; then
  # The shell may have reaped it already; wait then gives the status kept.
  state=$(sed 's/.*) //; s/ .*//' /proc/$owner/stat 2>/dev/null)
  case $state in
    ''|Z) wait $owner; status=$?; [ $status = 137 ] && say owner killed || say owner status $status ;;
    *) say owner alive $state; kill -KILL $owner ;;
  esac
fi
[ -e /dev/.nicmatch.lock ] && say lock left || say lock none
say done
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) > "$work/initrd" || { echo "cannot make the initramfs"; exit 1; }

# One boot in MODE; its "qk:" lines in $work/MODE.N.qk, the whole console in
# $work/MODE.N.log (kept in BUILD/boot-check/logs/ until the next run), the
# wall time in boot_secs.
rm -rf "$cache/logs"
mkdir -p "$cache/logs"
boot() {  # mode, n
  local log=$work/$1.$2.log args=() k t0=$EPOCHREALTIME
  for ((k = 0; k < nics; k++)); do
    args+=(-netdev "hubport,id=n$k,hubid=0" -device "${models[k]},netdev=n$k,mac=$(mac $k),romfile=")
  done
  # -nodefaults: no NIC but these (the default one would be on user-mode
  # networking), no display adapter, no ROM but the firmware's.
  timeout 600 "$qemu" -accel tcg "${clock[@]}" -machine pc -smp 1 -m 512 -nographic -nodefaults -no-user-config -no-reboot \
    -serial "file:$log" -kernel "${vmlinuz[0]}" -initrd "$work/initrd" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 qk.mode=$1" "${args[@]}" </dev/null >"$log.qemu" 2>&1
  local status=$?
  boot_secs=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  # (The firmware's terminal codes may come before the first line.)
  tr -d '\r' < "$log" | sed -n 's/^.*qk: //p' > "$work/$1.$2.qk"
  cp "$log" "$cache/logs/"
  if [ $status != 0 ]; then
    echo "qemu ended with status $status:"
    tail -5 "$log.qemu"
  fi
}
qk() { sed -n "s/^$2 //p" "$1" | head -1; }  # file, key: the rest of the first such line

if [ "$mode" = check ]; then
  passed=0 failed=0
  check() {  # what, condition result (0 = holds), detail on failure
    if [ "$2" = 0 ]; then
      passed=$((passed + 1)); echo "ok: $1"
    else
      failed=$((failed + 1)); echo "FAILED: $1${3:+: $3}"
    fi
  }
  hows="check hung distro"
  [ -f /usr/lib/udev/rules.d/80-net-setup-link.rules ] && [ -f /usr/lib/systemd/network/99-default.link ] || {
    hows="check hung"
    echo "SKIPPED: boot with the distribution's rules: no 80-net-setup-link.rules or 99-default.link here"
  }
  for how in $hows; do
    boot "$how" 1
    r=$work/$how.1.qk
    what=boot; [ "$how" = hung ] && what="boot behind a hung owner"
    [ "$how" = distro ] && what="boot with the distribution's rules"
    grep -qx done "$r"; check "$what: the guest reached its end (${boot_secs}s)" $? "$(tail -3 "$work/$how.1.log")"
    named=0 wrong= others=
    for ((k = 0; k < nics; k++)); do
      got=$(awk -v m="$(mac $k)" '$1 == "iface" && $3 == m { print $2 }' "$r")
      if [ "$how" = distro ] && [[ " $unbound " == *" $k "* ]]; then
        # Not bound by any file: the distribution's name, never a kernel
        # name or a configured one.
        if [[ -n $got && ! $got =~ ^(eth[0-9]+|lan[0-9]+)$ ]]; then others+=" $got"; else wrong+=" $(mac $k)=${got:-none}"; fi
      elif [ "$got" = "lan$k" ]; then named=$((named + 1)); else wrong+=" $(mac $k)=${got:-none}"; fi
    done
    [ -z "$wrong" ]; check "$what: every NIC named from its file ($named/$nics, coldplug $(qk "$r" coldplug)s)${others:+, the unbound ones by the distribution scheme:$others}" $? "$wrong"
    grep -qx 'iface lo 00:00:00:00:00:00' "$r"; check "$what: the loopback interface keeps its name" $? "$(grep '^iface [^l]' "$r" | grep -v ' lan' | head -3)"
    runs=$(qk "$r" runs)
    [ "$runs" = "$nics ok $nics bad 0" ]; check "$what: every nicmatch run exited with status 0, no worker killed (runs $runs)" $?
    grep -qx 'lock none' "$r"; check "$what: no lock file left" $?
    if [ "$how" = hung ]; then
      # The lock named the owner, stopped before coldplug, and it was killed.
      grep -qE '^owner ([0-9]+) \1 T$' "$r" && grep -qx 'owner killed' "$r"
      check "$what: the owner was killed" $? "$(grep '^owner' "$r" | tr '\n' ' ')"
    fi
  done
  echo "boot check took $((SECONDS - started))s; the guests' consoles are in $cache/logs/"
  echo "boot: $passed passed, $failed failed"
  [ $failed = 0 ]
  exit
fi

# --bench
echo "coldplug of $nics NICs, $rounds round(s)$(((${#clock[@]})) && echo ", on the instruction-counted clock"); load: $(cut -d' ' -f1-3 /proc/loadavg)"
results=$work/bench
for ((r = 1; r <= rounds; r++)); do
  if [ $((r % 2)) = 1 ]; then order="nicmatch echo none"; else order="none echo nicmatch"; fi
  for how in $order; do
    boot "$how" "$r"
    f=$work/$how.$r.qk
    named=$(grep -c '^iface lan' "$f")
    echo "$r $how $(qk "$f" coldplug) $(qk "$f" init) $boot_secs $named" >> "$results"
    grep -qx done "$f" || { echo "round $r, $how: the guest did not reach its end"; tail -5 "$work/$how.$r.log"; exit 1; }
  done
  echo "round $r done; load: $(cut -d' ' -f1-3 /proc/loadavg)"
done
awk -v nics="$nics" '
  { t[$2, $1] = $3; init[$2] = init[$2] " " $4; wall[$2] = wall[$2] " " $5; named[$2] = named[$2] " " $6; n = $1 > n ? $1 : n }
  function median(how,   a, i, j, k, x) {
    k = 0; for (i = 1; i <= n; i++) a[++k] = t[how, i]
    for (i = 2; i <= k; i++) { x = a[i]; for (j = i - 1; j >= 1 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
    return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
  }
  END {
    printf "round   nicmatch (s)   echo (s)   none (s)   nicmatch/echo   nicmatch/none   echo/none\n"
    for (i = 1; i <= n; i++)
      printf "%5d   %12.2f   %8.2f   %8.2f   %13.2f   %13.2f   %9.2f\n", i, t["nicmatch", i], t["echo", i], t["none", i],
        t["nicmatch", i] / t["echo", i], t["nicmatch", i] / t["none", i], t["echo", i] / t["none", i]
    m = median("nicmatch"); e = median("echo"); z = median("none")
    printf "median  %12.2f   %8.2f   %8.2f   %13.2f   %13.2f   %9.2f\n", m, e, z, m / e, m / z, e / z
    printf "kernel to init (s):%s (nicmatch)%s (echo)%s (none)\n", init["nicmatch"], init["echo"], init["none"]
    printf "whole boot, qemu start to power-off (s):%s (nicmatch)%s (echo)%s (none)\n", wall["nicmatch"], wall["echo"], wall["none"]
    printf "NICs named lanK in the nicmatch boots:%s (of %d)\n", named["nicmatch"], nics
  }' "$results"
