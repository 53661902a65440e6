#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the Debian package (build-deb/quarrykit_<version>_<arch>.deb) and
# checks it: the three programs in /usr/sbin, their manual pages in section 8
# (formatted without warnings), the example device-manager rule calling
# /usr/sbin/nicmatch, and the dependencies on libc and GLib.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DQK_TESTS=OFF >/dev/null
cmake --build build-deb -j "$(nproc)"
(cd build-deb && cpack -G DEB >/dev/null)
version=$(sed -n 's/^project(quarrykit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build-deb/quarrykit_${version}_$(dpkg --print-architecture).deb

passed=0 failed=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
check "package file $deb" test -f "$deb"
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/sbin/imgseal ./usr/sbin/nicmatch ./usr/sbin/orphdir \
            ./usr/share/man/man8/imgseal.8 ./usr/share/man/man8/nicmatch.8 ./usr/share/man/man8/orphdir.8 \
            ./usr/share/doc/quarrykit/examples/70-nicmatch.rules ./usr/share/doc/quarrykit/README.md; do
  check "contains $path" grep -qx "$path" <<<"$listing"
done
check "nothing outside /usr" test -z "$(grep -v '^\./usr/\|^\./$\|^\./usr$' <<<"$listing")"
depends=$(dpkg-deb -f "$deb" Depends)
check "depends on libc6 ($depends)" grep -q 'libc6' <<<"$depends"
check "depends on GLib ($depends)" grep -q 'libglib2.0-0' <<<"$depends"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
check "rule calls /usr/sbin/nicmatch" grep -q 'PROGRAM="/usr/sbin/nicmatch"' "$root/usr/share/doc/quarrykit/examples/70-nicmatch.rules"
for page in imgseal nicmatch orphdir; do
  f=$root/usr/share/man/man8/$page.8
  check "$page.8 formats without warnings" test -z "$(groff -man -ww -z "$f" 2>&1)"
  check "$page.8 shows its NAME section" grep -q "^NAME" <(MANWIDTH=80 man -l "$f" 2>/dev/null | col -b)
  check "$page.8 has no unfilled placeholder" bash -c "! grep -q @ '$f'"
done
check "installed imgseal runs" bash -c "'$root/usr/sbin/imgseal'; test \$? = 0"
check "installed orphdir prints its banner" bash -c "'$root/usr/sbin/orphdir' x 2>&1 | grep -q '^orphdir $version ('"
# dpkg -i in a sandbox whose /usr and dpkg database are overlays: the
# package installs for real there, and nothing reaches this machine.
if [ "$(id -u)" = 0 ] && [ -x build/testsupport/qk-sandbox ] && grep -qw overlay /proc/filesystems; then
  cat > "$root/install.sh" <<'INNER'
set -e
exec 2>&1
mount -t tmpfs scratch /mnt
mkdir -p /mnt/usr-up /mnt/usr-work /mnt/dpkg-up /mnt/dpkg-work /var/log /var/cache/man
mount -t overlay overlay -o lowerdir=/usr,upperdir=/mnt/usr-up,workdir=/mnt/usr-work /usr
mount -t overlay overlay -o lowerdir=/var/lib/dpkg,upperdir=/mnt/dpkg-up,workdir=/mnt/dpkg-work /var/lib/dpkg
dpkg -i /pkg.deb
echo "status: $(dpkg-query -W -f='${Status}' quarrykit)"
MANWIDTH=80 man 8 nicmatch | col -b | head -1
echo "nicmatch: $(INTERFACE=none /usr/sbin/nicmatch; echo $?)"
INNER
  installed=$(build/testsupport/qk-sandbox --bind /var/lib/dpkg:/var/lib/dpkg --bind "$(realpath "$deb"):/pkg.deb" \
    --bind "$root/install.sh:/install.sh" -- /bin/sh /install.sh 2>&1 || true)
  check "dpkg -i installs it" grep -q '^status: install ok installed' <<<"$installed"
  check "man 8 nicmatch shows the page" grep -q '^NICMATCH(8)' <<<"$installed"
  check "installed nicmatch runs" grep -q '^nicmatch: 0' <<<"$installed"
  grep -q '^status: install ok installed' <<<"$installed" || echo "$installed"
else
  echo "SKIPPED: dpkg -i in a sandbox (needs root, build/testsupport/qk-sandbox and overlayfs)"
fi

echo "$(basename "$deb"):"
dpkg-deb -c "$deb" | awk '{print "  " $6}'
echo "package: $passed passed, $failed failed"
test "$failed" = 0
