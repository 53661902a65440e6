#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs what is needed (only what is missing), then configures and builds
# quarrykit in build/.  With --demo: only what building the programs and the
# demo's sandbox needs (no tests).  Otherwise everything the test command
# needs besides, with the tests and benchmarks built; with --asan also in
# build-asan/, with AddressSanitizer and UndefinedBehaviorSanitizer.
# Debian 12 or 13, as root.  Packages of Priority required are on every Debian
# system, and are therefore not listed here.
set -euo pipefail
cd "$(dirname "$0")/.."

# Building the programs and qk-sandbox, and what the demo scripts run.
demo_packages=(gcc g++ cmake make pkgconf libglib2.0-dev iproute2)
# The tests, benchmarks, cross builds, fuzzers and package builds and checks.
test_packages=(
  # Not on a minimal system: package.sh runs git archive, and
  # dpkg-checkbuilddeps wants build-essential.
  git build-essential
  libgtest-dev libbenchmark-dev
  gettext locales xfsprogs btrfs-progs dosfstools
  libssl-dev openssl time file groff-base man-db bsdextrautils udev valgrind clang libclang-rt-dev
  qemu-user g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
  g++-s390x-linux-gnu g++-powerpc64le-linux-gnu
  dpkg-dev debhelper lintian rpm rpmlint
)
# The boot check (nicmatch/boot/boot_check.sh): the machine emulator, and the
# static busybox its initramfs is made of (udev is listed above; the kernel is
# downloaded into the build tree, never installed).
test_packages+=(qemu-system-x86 busybox-static)
if [ "${1:-}" = --demo ]; then
  packages=("${demo_packages[@]}")
  options=(-DQK_SANDBOX=ON)
  # A build/ configured by the test command keeps its tests and benchmarks.
  [ -f build/CMakeCache.txt ] || options+=(-DQK_TESTS=OFF)
else
  packages=("${demo_packages[@]}" "${test_packages[@]}")
  options=(-DQK_TESTS=ON -DQK_BENCHMARKS=ON)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

werror=OFF
[ "${CI:-}" = true ] && werror=ON
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQK_WERROR="$werror" "${options[@]}" >/dev/null
cmake --build build -j "$jobs"
if [ "${1:-}" = --asan ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQK_WERROR="$werror" -DQK_SANITIZE=ON >/dev/null
  cmake --build build-asan -j "$jobs"
fi
