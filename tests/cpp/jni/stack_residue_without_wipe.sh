#!/usr/bin/env bash
# Shows that stack_residue_test notices a missing wipe: builds it with
# ROOTCHECKER_BENCH_WITHOUT_TRACE_WIPE (no wipe of the stack below the cipher)
# on each build CI runs it on, and prints whether it failed as it must.
#
#   bash tests/cpp/jni/stack_residue_without_wipe.sh [PRESET...]
#
# Builds under build/nowipe-PRESET-TYPE; -j2. Default presets: host64 x86
# x86-clang lto lto-x86, each Debug and Release.
set -uo pipefail
cd "$(dirname "$0")/../../.."
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(host64 x86 x86-clang lto lto-x86)
define=-DROOTCHECKER_BENCH_WITHOUT_TRACE_WIPE
status=0
for preset in "${presets[@]}"; do
  for type in Debug Release; do
    dir=build/nowipe-$preset-$type
    # The per-type flags: the presets set CMAKE_CXX_FLAGS or CXXFLAGS.
    if ! { cmake --preset "$preset" -B "$dir" -DCMAKE_BUILD_TYPE=$type \
             -DCMAKE_CXX_FLAGS_DEBUG="-g $define" \
             -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG $define" &&
           cmake --build "$dir" -j2 --target stack_residue_test; } \
         >"$dir.log" 2>&1; then
      echo "$preset $type: build failed, see $dir.log"; status=1; continue
    fi
    if "$dir/tests/cpp/jni/stack_residue_test" \
         --gtest_filter=StackResidue.NoKeyMaterialAfterDecryption \
         >"$dir.test.log" 2>&1; then
      echo "$preset $type: PASSED without the wipe (the test misses it)"
      status=1
    else
      echo "$preset $type: fails without the wipe, as it must" \
        "($(grep -o 'bytes below the top' "$dir.test.log" | wc -l) findings)"
    fi
  done
done
exit $status
