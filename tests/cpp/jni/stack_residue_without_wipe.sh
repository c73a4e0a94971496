#!/usr/bin/env bash
# Shows that stack_residue_test notices a missing wipe: on each build CI runs
# it on, builds it twice, as it is and with ROOTCHECKER_BENCH_WITHOUT_TRACE_WIPE
# (no wipe of the stack below the cipher), and prints whether it passed with
# the wipe and failed without, as it must.
#
#   bash tests/cpp/jni/stack_residue_without_wipe.sh [PRESET...]
#
# Builds under build/residue-PRESET-TYPE and build/nowipe-PRESET-TYPE; -j2.
# Default presets: host64 x86 x86-clang lto lto-x86, each Debug and Release.
set -uo pipefail
cd "$(dirname "$0")/../../.."
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(host64 x86 x86-clang lto lto-x86)
status=0
# The two checks: a search for the cipher's words, and a comparison of the
# stacks that two keys leave.
tests=StackResidue.NoKeyMaterialAfterDecryption
tests+=:StackResidue.NothingOnTheStackDependsOnTheKey

# build_and_run DIR PRESET TYPE EXTRA_DEFINE: prints the failed checks.
build_and_run() {
  local dir=$1 preset=$2 type=$3 define=$4
  # The per-type flags: the presets set CMAKE_CXX_FLAGS or CXXFLAGS.
  if ! { cmake --preset "$preset" -B "$dir" -DCMAKE_BUILD_TYPE="$type" \
           -DCMAKE_CXX_FLAGS_DEBUG="-g $define" \
           -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG $define" &&
         cmake --build "$dir" -j2 --target stack_residue_test; } \
       >"$dir.log" 2>&1; then
    echo "build failed, see $dir.log"
    return 2
  fi
  "$dir/tests/cpp/jni/stack_residue_test" --gtest_filter="$tests" \
    >"$dir.test.log" 2>&1
  local rc=$?
  local failed
  failed=$(sed -n 's/^\[  FAILED  \] [A-Za-z]*\.\([A-Za-z]*\) (.*/\1/p' \
             "$dir.test.log" | sort -u | tr '\n' ' ')
  local hits
  hits=$(grep -o 'bytes below the top' "$dir.test.log" | wc -l)
  if [ $rc -eq 0 ]; then echo "passed"; else echo "failed: ${failed}($hits findings shown)"; fi
  return $rc
}

for preset in "${presets[@]}"; do
  for type in Debug Release; do
    with=$(build_and_run "build/residue-$preset-$type" "$preset" "$type" "")
    with_rc=$?
    without=$(build_and_run "build/nowipe-$preset-$type" "$preset" "$type" \
                -DROOTCHECKER_BENCH_WITHOUT_TRACE_WIPE)
    without_rc=$?
    verdict=ok
    if [ $with_rc -ne 0 ] || [ $without_rc -ne 1 ]; then verdict=WRONG; status=1; fi
    printf '%-10s %-8s with the wipe: %-10s without: %s  [%s]\n' \
      "$preset" "$type" "$with" "$without" "$verdict"
  done
done
exit $status
