#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs inside the sandbox: a small ext4 file system on a loop device (which
# detaches itself when the sandbox goes), and orphdir run at its top.
set -e
exec 2>&1
PATH=/qk:$PATH
truncate -s 16M /tmp/demo.img
mkfs.ext4 -q -b 1024 /tmp/demo.img
dev=$(losetup -f)
mknod "$dev" b 7 "${dev#/dev/loop}"
mount -o loop="$dev" /tmp/demo.img /mnt
rmdir /mnt/lost+found        # mkfs made one; let orphdir make it instead
cd /mnt
echo "$ orphdir            # on ext4 with 1 KiB blocks"
orphdir || echo "[status $?]"
echo "$ ls -ld lost+found"
ls -ld lost+found
echo "entries left: $(ls -A lost+found | wc -l); size $(stat -c %s lost+found) bytes > 11 x $(stat -c %o lost+found)"
echo "$ orphdir            # again: the directory exists now"
orphdir || echo "[status $?]"
echo "$ orphdir --help"
orphdir --help || echo "[status $?]"
