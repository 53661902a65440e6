#!/bin/bash
# SPDX-License-Identifier: MIT
# Seals files of several sizes with the imgseal command given (an emulator
# and its arguments may come first) and checks each seal with sha1sum, the
# untouched bytes, and two failure messages; then the imgverify given checks
# each seal, and finds a byte changed in the data, the field or the last 12
# bytes.
#   seal_check.sh [EMULATOR ARGS...] IMGSEAL IMGVERIFY
set -u
imgverify=${!#}
set -- "${@:1:$#-1}"
verify=("${@:1:$#-1}" "$imgverify")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0 failed=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
for size in 32 33 64 1000 65536 1048609; do
  f=$scratch/image
  head -c "$size" /dev/urandom > "$f"
  cp "$f" "$scratch/before"
  out=$("$@" "$f"); status=$?
  check "status for $size bytes" test "$status" = 0
  # The independent digest: the file as it was, with the field zeroed.
  cp "$scratch/before" "$scratch/zeroed"
  head -c 20 /dev/zero | dd of="$scratch/zeroed" bs=1 seek=$((size - 32)) conv=notrunc status=none
  want=$(sha1sum "$scratch/zeroed" | cut -c1-40 | tr a-f A-F | sed 's/../& /g')
  check "output for $size bytes" test "$out" = "Tarrow sum:
$want"
  got_field=$(tail -c 32 "$f" | head -c 20 | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
  check "digest field for $size bytes" test "$got_field" = "$(echo "$want" | tr -d ' ')"
  check "other bytes for $size bytes" cmp -s <(head -c $((size - 32)) "$f") <(head -c $((size - 32)) "$scratch/before")
  check "last 12 bytes for $size bytes" cmp -s <(tail -c 12 "$f") <(tail -c 12 "$scratch/before")
  out=$("${verify[@]}" "$f"); status=$?
  check "imgverify on the seal of $size bytes" test "$status:$out" = "0:$f: OK"
  for pos in 0 $((size - 32)) $((size - 1)); do
    cp "$f" "$scratch/changed"
    byte=$(od -An -tu1 -j "$pos" -N 1 "$f")
    printf "\\$(printf %03o $((byte ^ 0x40)))" | dd of="$scratch/changed" bs=1 seek="$pos" conv=notrunc status=none
    out=$("${verify[@]}" "$f" "$scratch/changed"); status=$?
    check "imgverify on $size bytes, byte $pos changed" test "$status:$out" = "1:$f: OK
$scratch/changed: FAILED"
  done
done
: > "$scratch/empty"
err=$("$@" "$scratch/empty" 2>&1 >/dev/null); status=$?
check "empty file" test "$status:${err#*: }" = "1:Can't read $scratch/empty: Invalid argument"
err=$("$@" "$scratch/missing" 2>&1 >/dev/null); status=$?
check "missing file" test "$status:${err#*: }" = "1:Can't open $scratch/missing: No such file or directory"
echo "$passed passed, $failed failed"
test "$failed" = 0
