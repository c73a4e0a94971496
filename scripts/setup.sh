#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, where it is missing.
# Safe to run again: it installs nothing that is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib clang libclang-rt-14-dev clang-format
  googletest libgtest-dev libbenchmark-dev libbenchmark-dev:i386 libssl-dev libssl-dev:i386
  openjdk-17-jdk-headless openjdk-17-jre-headless:i386 junit5 proguard-cli
  valgrind libc6-dbg:i386 gnuplot-nox
  # ARM: clang and lld cross-compile against the multiarch libraries,
  # qemu-user runs the tests and the target's own JVM.
  lld qemu-user
  libc6-dev:arm64 libgcc-12-dev:arm64 libstdc++-12-dev:arm64 libssl-dev:arm64
  libgtest-dev:arm64 openjdk-17-jre-headless:arm64
  libc6-dev:armhf libgcc-12-dev:armhf libstdc++-12-dev:armhf libssl-dev:armhf
  openjdk-17-jre-headless:armhf
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}" >&2
  echo "setup: run as root, or install them with apt-get" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
for arch in i386 arm64 armhf; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
  fi
done
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
