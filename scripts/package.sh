#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the Debian package (debian/, dpkg-buildpackage) and the RPM package
# (rpm/quarrykit.spec, rpmbuild) from one `git archive` of this tree, both
# into build-pkg/, and checks them: imgseal, nicmatch and orphdir in
# /usr/sbin and imgverify in /usr/bin, their manual pages in sections 8 and 1
# (compressed, formatted without warnings), the example device-manager rule
# calling /usr/sbin/nicmatch, the dependencies on libc and GLib, what each
# program needs at run time (libc alone, and GLib for nicmatch: its NEEDED
# entries, and imgseal, imgverify and orphdir run in a root that holds only
# the dynamic loader and libc), lintian's and rpmlint's verdicts, and an
# installation of each (dpkg -i in a sandbox, rpm -i into a throw-away root).
# The tree itself is left as it is: the builds run on the exported copy.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
out=$top/build-pkg
version=$(sed -n 's/^project(quarrykit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
status_before=$(git --no-optional-locks status --porcelain --untracked-files=all)
rm -rf "$out"
mkdir -p "$out/rpmbuild/SOURCES"

# What the tools write besides the packages goes to build-pkg/ too: a home
# of their own (rpm's database is ~/.rpmdb on Debian; the spelling checker
# that lintian and rpmlint use keeps settings under ~/.config), caches and
# temporary files.  rpmbuild's temporary scripts go where %_tmppath says.
# git keeps the caller's settings (they may name this tree as safe).
export GIT_CONFIG_GLOBAL=${GIT_CONFIG_GLOBAL:-${HOME:-/root}/.gitconfig}
export HOME=$out/home TMPDIR=$out/tmp
export XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache XDG_DATA_HOME=$HOME/.local/share
export XDG_STATE_HOME=$HOME/.local/state
mkdir -p "$HOME" "$TMPDIR"
printf '%%_dbpath %s\n%%_tmppath %s\n' "$out/rpmdb" "$TMPDIR" > "$HOME/.rpmmacros"

passed=0 failed=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
# Without network where a network namespace can be made (root): neither
# build may fetch anything.
offline=()
unshare --net true 2>/dev/null && offline=(unshare --net)

check "debian/changelog is at $version" test "$(dpkg-parsechangelog -S Version)" = "$version"
check "rpm/quarrykit.spec is at $version" grep -qx "Version: *$version" rpm/quarrykit.spec

# The source tarball: tracked files as they are in the work tree (committed
# or not); git stash create gives nothing when there is no change.
tree=$(git stash create)
tarball=$out/rpmbuild/SOURCES/quarrykit-$version.tar.gz
git archive --format=tar.gz --prefix="quarrykit-$version/" -o "$tarball" "${tree:-HEAD}"
tar -xzf "$tarball" -C "$out"

echo "building the Debian package (log: build-pkg/deb-build.log)"
(cd "$out/quarrykit-$version" && "${offline[@]}" dpkg-buildpackage -b -us -uc) > "$out/deb-build.log" 2>&1 ||
  { tail -30 "$out/deb-build.log"; exit 1; }
echo "building the RPM package (log: build-pkg/rpm-build.log)"
# --nodeps: the BuildRequires name the RPM distributions' packages, which
# this machine's (empty) RPM database cannot confirm.  The definitions give
# Debian's rpmbuild what an RPM distribution's build configuration sets: a
# programs stripped of their symbols (there the debuginfo split does that),
# documentation directories named after the package, and the manual-page
# compression step run by bash (it is a bash script; /bin/sh is dash here).
"${offline[@]}" rpmbuild -bb --nodeps --define "_topdir $out/rpmbuild" \
  --define '__brp_strip find %{buildroot}%{_bindir} %{buildroot}%{_sbindir} -type f -exec strip --strip-unneeded {} +' \
  --define '_docdir_fmt %%{NAME}' \
  --define '__brp_compress /bin/bash %{_rpmconfigdir}/brp-compress %{?_prefix}' \
  --define 'packager quarrykit maintainers <maintainers@quarrykit.invalid>' \
  "$out/quarrykit-$version/rpm/quarrykit.spec" > "$out/rpm-build.log" 2>&1 ||
  { tail -30 "$out/rpm-build.log"; exit 1; }

deb=$out/quarrykit_${version}_$arch.deb
changes=$out/quarrykit_${version}_$arch.changes
rpmfile=$(ls "$out"/rpmbuild/RPMS/*/quarrykit-"$version"-1.*.rpm 2>/dev/null | head -1)
check "package file $(basename "$deb")" test -f "$deb"
check "package file $(basename "${rpmfile:-quarrykit-$version.rpm}")" test -f "$rpmfile"
[ -f "$deb" ] && [ -f "$rpmfile" ] || { echo "package: $passed passed, $failed failed"; exit 1; }
cp "$rpmfile" "$out/"
rpmfile=$out/$(basename "$rpmfile")
check "the builds left the work tree as it was" test "$(git --no-optional-locks status --porcelain --untracked-files=all)" = "$status_before"

# The same contents in both packages.
deb_list=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||')
rpm_list=$(rpm -qlp "$rpmfile")
for kind in deb rpm; do
  if [ $kind = deb ]; then listing=$deb_list; else listing=$rpm_list; fi
  for path in /usr/sbin/imgseal /usr/sbin/nicmatch /usr/sbin/orphdir /usr/bin/imgverify \
              /usr/share/man/man8/imgseal.8.gz /usr/share/man/man8/nicmatch.8.gz /usr/share/man/man8/orphdir.8.gz \
              /usr/share/man/man1/imgverify.1.gz \
              /usr/share/doc/quarrykit/examples/70-nicmatch.rules; do
    check "$kind contains $path" grep -qx "$path" <<<"$listing"
  done
  check "$kind has the README" grep -qx '/usr/share/doc/quarrykit/README.md\(.gz\)\?' <<<"$listing"
  check "$kind has no uncompressed manual page" test -z "$(grep '/man/.*\.[0-9]$' <<<"$listing")"
  check "$kind has nothing outside /usr" test -z "$(grep -v '^/usr/\|^/usr$\|^$' <<<"$listing")"
done
check "deb has the copyright file" grep -qx /usr/share/doc/quarrykit/copyright <<<"$deb_list"
check "rpm has the license" grep -qx /usr/share/licenses/quarrykit/LICENSE <<<"$rpm_list"

depends=$(dpkg-deb -f "$deb" Depends)
check "deb depends on libc6 ($depends)" grep -q 'libc6' <<<"$depends"
check "deb depends on GLib ($depends)" grep -q 'libglib2.0-0' <<<"$depends"
check "deb does not depend on the C++ runtime ($depends)" test -z "$(grep -o 'libstdc++[^ ,]*' <<<"$depends")"
requires=$(rpm -qp --requires "$rpmfile")
check "rpm requires libc ($(grep -m1 '^libc\.so' <<<"$requires"))" grep -q '^libc\.so\.6' <<<"$requires"
check "rpm requires GLib ($(grep -m1 '^libglib' <<<"$requires"))" grep -q '^libglib-2\.0\.so\.0' <<<"$requires"
check "rpm does not require the C++ runtime" test -z "$(grep '^libstdc++' <<<"$requires")"

lintian_out=$(lintian --fail-on error,warning "$deb" "$changes" 2>&1) && lintian_rc=0 || lintian_rc=$?
lintian_out=$(grep -v '^running with root privileges' <<<"$lintian_out" || true)
check "lintian: no error, no warning" test "$lintian_rc" = 0
rpmlint_out=$(rpmlint -c rpm/rpmlint.toml "$rpmfile" 2>&1) && rpmlint_rc=0 || rpmlint_rc=$?
check "rpmlint: no error" grep -q ' 0 errors' <<<"$rpmlint_out"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/deb"
check "rule calls /usr/sbin/nicmatch" grep -q 'PROGRAM="/usr/sbin/nicmatch"' "$root/deb/usr/share/doc/quarrykit/examples/70-nicmatch.rules"
for page in man8/imgseal.8 man8/nicmatch.8 man8/orphdir.8 man1/imgverify.1; do
  f=$root/deb/usr/share/man/$page.gz
  check "$page.8 formats without warnings" test -z "$(zcat "$f" | groff -man -ww -z 2>&1)"
  check "$page.8 shows its NAME section" grep -q "^NAME" <(MANWIDTH=80 man -l "$f" 2>/dev/null | col -b)
  check "$page.8 has no unfilled placeholder" bash -c "! zcat '$f' | grep -q @"
done
check "installed imgseal runs" bash -c "'$root/deb/usr/sbin/imgseal'; test \$? = 0"
check "installed orphdir prints its banner" bash -c "'$root/deb/usr/sbin/orphdir' x 2>&1 | grep -q '^orphdir $version ('"

# What each program needs at run time, from its NEEDED entries: libc alone,
# and GLib besides for nicmatch.
programs=(usr/sbin/imgseal usr/bin/imgverify usr/sbin/orphdir usr/sbin/nicmatch)
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort | tr '\n' ' '; }
check_needed() {  # package kind, the tree its files are in
  local prog want
  for prog in "${programs[@]}"; do
    want="libc.so.6 "
    [ "$prog" = usr/sbin/nicmatch ] && want="libc.so.6 libglib-2.0.so.0 "
    check "$1: /$prog needs $want(NEEDED: $(needed "$2/$prog"))" test "$(needed "$2/$prog")" = "$want"
  done
}
check_needed deb "$root/deb"
mkdir "$root/rpm-files"
(cd "$root/rpm-files" && rpm2cpio "$rpmfile" | cpio -idm --quiet)
check_needed rpm "$root/rpm-files"

# imgseal, imgverify and orphdir run in a root that holds nothing but the
# dynamic loader (the interpreter the programs name) and libc, as a minimal
# initramfs or build root, entered with chroot in a pid namespace of its own
# (nothing is mounted, so no mount namespace is needed; making one fails in a
# chroot whose "/" is no mount point); imgverify runs there as a user without
# privilege.
if [ "$(id -u)" = 0 ] && unshare --pid --fork --kill-child true 2>/dev/null; then
  mini=$root/mini
  loader=$(readelf -l "$root/deb/usr/sbin/imgseal" | sed -n 's/.*program interpreter: \(.*\)\]$/\1/p')
  libc=$(ldd "$root/deb/usr/sbin/imgseal" | awk '$1 == "libc.so.6" { print $3 }')
  for lib in "$loader" "$libc"; do
    mkdir -p "$mini$(dirname "$lib")"
    cp -L "$lib" "$mini$lib"
  done
  check "the minimal root holds the loader and libc alone ($loader, $libc)" test "$(find "$mini" -type f | wc -l)" = 2
  mkdir -p "$mini/usr/bin" "$mini/usr/sbin"
  for prog in usr/sbin/imgseal usr/bin/imgverify usr/sbin/orphdir; do cp "$root/deb/$prog" "$mini/$prog"; done
  head -c 4096 /dev/urandom > "$mini/image"
  chmod 0644 "$mini/image"
  in_mini() { unshare --pid --fork --kill-child chroot "$@"; }
  seal=$(in_mini "$mini" /usr/sbin/imgseal /image 2>&1) && rc=0 || rc=$?
  check "imgseal runs in the minimal root (status $rc: $(head -1 <<<"$seal"))" test "$rc:$(head -1 <<<"$seal")" = "0:Tarrow sum:"
  verify=$(in_mini --userspec=65534:65534 "$mini" /usr/bin/imgverify /image 2>&1) && rc=0 || rc=$?
  check "imgverify runs in the minimal root as nobody (status $rc: $verify)" test "$rc:$verify" = "0:/image: OK"
  made=$(in_mini "$mini" /usr/sbin/orphdir 2>&1) && rc=0 || rc=$?
  check "orphdir runs in the minimal root (status $rc: $(tail -1 <<<"$made"))" test "$rc" = 0 -a -d "$mini/lost+found"
else
  echo "SKIPPED: programs in a root holding only the loader and libc (needs root and a pid namespace)"
fi

# rpm -i into a throw-away root: its own database, nothing else there; the
# dependencies are this machine's Debian packages, hence --nodeps.
mkdir "$root/rpm"
rpm --root "$root/rpm" --initdb
if rpm --root "$root/rpm" -i --nodeps "$rpmfile" >/dev/null 2>&1; then
  installed=$(cd "$root/rpm" && find usr -type f -o -type l | sort)
  check "rpm -i installs it" rpm --root "$root/rpm" -q quarrykit
  for path in usr/sbin/nicmatch usr/share/man/man8/nicmatch.8.gz usr/share/doc/quarrykit/examples/70-nicmatch.rules; do
    check "rpm -i puts $path there" grep -qx "$path" <<<"$installed"
  done
  check "rpm-installed rule calls /usr/sbin/nicmatch" grep -q 'PROGRAM="/usr/sbin/nicmatch"' "$root/rpm/usr/share/doc/quarrykit/examples/70-nicmatch.rules"
  check "rpm-installed orphdir prints its banner" bash -c "'$root/rpm/usr/sbin/orphdir' x 2>&1 | grep -q '^orphdir $version ('"
else
  check "rpm -i installs it" false
fi

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
  installed=$(build/testsupport/qk-sandbox --bind /var/lib/dpkg:/var/lib/dpkg --bind "$deb:/pkg.deb" \
    --bind "$root/install.sh:/install.sh" -- /bin/sh /install.sh 2>&1) && sandbox_status=0 || sandbox_status=$?
  refusal=$(sed -n 's/^qk-sandbox: cannot make a sandbox here: //p' <<<"$installed")
  if [ "$sandbox_status" = 77 ] && [ -n "$refusal" ]; then
    echo "SKIPPED: dpkg -i in a sandbox (cannot make a sandbox here: $refusal)"
    sed -n 's/^qk-sandbox: what to do: /  what to do: /p' <<<"$installed"
  else
    check "dpkg -i installs it" grep -q '^status: install ok installed' <<<"$installed"
    check "man 8 nicmatch shows the page" grep -q '^NICMATCH(8)' <<<"$installed"
    check "installed nicmatch runs" grep -q '^nicmatch: 0' <<<"$installed"
    grep -q '^status: install ok installed' <<<"$installed" || echo "$installed"
  fi
else
  echo "SKIPPED: dpkg -i in a sandbox (needs root, build/testsupport/qk-sandbox and overlayfs)"
fi

echo "$(basename "$deb"):"
sed 's/^/  /' <<<"$deb_list" | grep -v '^  $'
echo "$(basename "$rpmfile"):"
sed 's/^/  /' <<<"$rpm_list"
echo "NEEDED (deb):"
for prog in "${programs[@]}"; do echo "  /$prog: $(needed "$root/deb/$prog")"; done
echo "lintian (.deb and .changes): ${lintian_out:-no tags}"
echo "rpmlint: $(tail -1 <<<"$rpmlint_out")"
grep -v '^=\|^$\|errors, .* warnings' <<<"$rpmlint_out" | sed 's/^/  /' || true
echo "package: $passed passed, $failed failed"
test "$failed" = 0
