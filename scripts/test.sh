#!/usr/bin/env bash
# Builds the library for the 64-bit host and for 32-bit x86 and runs every
# test on both: C++ tests, and JUnit on the matching JVM.
set -euo pipefail
source "$(dirname "$0")/env.sh"
bash "$ROOT/scripts/setup.sh"
mkdir -p "$BUILD"

build host64
build x86 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/linux-x86.toolchain.cmake"

status=0
for name in host64 x86; do
  echo "=== tests: $name"
  ctest --test-dir "$BUILD/$name" --output-on-failure --no-tests=error -j2 || status=1
done
exit $status
