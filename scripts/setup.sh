#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs what the build and the tests need (only what is missing), then
# configures and builds quarrykit in build/ (and, with --asan, in build-asan/
# too, with AddressSanitizer and UndefinedBehaviorSanitizer).  Debian 12, as root.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ cmake make pkg-config libglib2.0-dev libgtest-dev libbenchmark-dev
  gettext iproute2 util-linux mount e2fsprogs xfsprogs btrfs-progs dosfstools
  libssl-dev openssl coreutils time dpkg-dev file groff-base man-db bsdextrautils udev valgrind clang libclang-rt-14-dev
  qemu-user g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
)
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

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQK_WERROR="$werror" -DQK_BENCHMARKS=ON >/dev/null
cmake --build build -j "$jobs"
if [ "${1:-}" = --asan ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQK_WERROR="$werror" -DQK_SANITIZE=ON >/dev/null
  cmake --build build-asan -j "$jobs"
fi
