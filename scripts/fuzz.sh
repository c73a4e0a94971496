#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each of them for
# a while, then prints executions per second, total executions, corpus size
# and findings for each.
#
#   scripts/fuzz.sh [seconds] [fuzzer...]     default: 600 seconds, every fuzzer
#
# FUZZ_PARALLEL=n runs n fuzzers at once (default 1); FUZZ_ARCH=x86 builds
# and runs them as 32-bit x86 programs, the library's target. The corpus of each
# fuzzer grows in $BUILD/fuzz-corpus/NAME across runs, seeded from
# fuzz/corpus/NAME; logs go to $BUILD/fuzz-logs, inputs that broke an
# invariant to $BUILD/fuzz-findings. Exits 1 if any fuzzer found something.
set -euo pipefail
source "$(dirname "$0")/env.sh"

seconds=${1:-600}
shift || true
parallel=${FUZZ_PARALLEL:-1}
mkdir -p "$BUILD"
case "${FUZZ_ARCH:-host}" in
  host)
    dir="$BUILD/fuzz"
    build fuzz
    ;;
  x86)
    # The fuzz preset's settings, on the 32-bit toolchain.
    dir="$BUILD/fuzz-x86"
    (cd "$ROOT" && cmake --preset fuzz -B "$dir" \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/linux-x86.toolchain.cmake") \
      >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
    cmake --build "$dir" --target fuzzers
    ;;
  *) echo "fuzz: FUZZ_ARCH must be host or x86" >&2; exit 2 ;;
esac

if [ $# -gt 0 ]; then
  fuzzers=("$@")
else
  fuzzers=()
  for f in "$dir"/fuzz/fuzz_*; do
    [ -x "$f" ] && [ -f "$f" ] && fuzzers+=("$(basename "$f")")
  done
fi

run_one() {
  local name=$1
  local corpus="$BUILD/fuzz-corpus/$name" log="$BUILD/fuzz-logs/$name.log"
  local findings="$BUILD/fuzz-findings/$name"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  echo "fuzz: $name for ${seconds}s (log: $log)"
  "$dir/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "$ROOT/fuzz/corpus/$name" >"$log" 2>&1
}

pids=()
names=()
for name in "${fuzzers[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  run_one "$name" &
  pids+=($!)
  names+=("$name")
done

status=0
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || true
done

printf '\n%-20s %10s %14s %8s  %s\n' fuzzer exec/s executions corpus findings
for name in "${names[@]}"; do
  log="$BUILD/fuzz-logs/$name.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  corpus=$(find "$BUILD/fuzz-corpus/$name" -type f | wc -l)
  found=$(find "$BUILD/fuzz-findings/$name" -type f | wc -l)
  if [ "$found" -gt 0 ] || grep -qE '^(==[0-9]+==ERROR|SUMMARY: )|invariant broken' "$log"; then
    status=1
    found="$found (see $log)"
  fi
  printf '%-20s %10s %14s %8s  %s\n' "$name" "${rate:-?}" "${execs:-?}" "$corpus" "$found"
done
exit $status
