#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs inside the sandbox: a sample image with a 32-byte trailer (20-byte
# digest field, then 12 bytes of its own), sealed and checked independently,
# then checked by imgverify, as it is and with a byte changed.  The image is
# the same on every run, so the output is too (the README shows part of it).
set -e
exec 2>&1
PATH=/qk:$PATH   # so that the programs name themselves as typed
cd /tmp
yes 'quarrykit sample image' | head -c 1048576 > image.bin
head -c 20 /dev/zero >> image.bin
printf 'QK-TRAILER-1' >> image.bin
echo "$ imgseal image.bin          # 1 MiB of data + 32-byte trailer"
imgseal image.bin
echo "$ tail -c 32 image.bin | od -A d -t x1"
tail -c 32 image.bin | od -A d -t x1
echo "Independent check: zero the field again and hash with sha1sum:"
cp image.bin check.bin
printf '\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' | dd of=check.bin bs=1 seek=1048576 conv=notrunc 2>/dev/null
echo "  sha1sum: $(sha1sum check.bin | cut -c1-40)"
echo "$ imgseal image.bin          # sealing again changes nothing"
cp image.bin before.bin
imgseal image.bin
cmp image.bin before.bin && echo "  (file identical)"
echo "$ imgverify image.bin        # checks the seal, as any user may; writes nothing"
imgverify image.bin
cp image.bin changed.bin
byte=$(od -A n -t u1 -j 4096 -N 1 image.bin)
printf "\\$(printf %o $(( (byte + 1) % 256 )))" | dd of=changed.bin bs=1 seek=4096 conv=notrunc 2>/dev/null
echo "$ imgverify image.bin changed.bin    # changed.bin: one byte of data changed"
imgverify image.bin changed.bin || echo "[status $?]"
printf 'too short' > short.bin
echo "$ imgseal short.bin"
imgseal short.bin || echo "[status $?]"
echo "$ imgseal missing.bin"
imgseal missing.bin || echo "[status $?]"
