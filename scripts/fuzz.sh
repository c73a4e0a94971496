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
# invariant to $BUILD/fuzz-findings. Exits 2 for a name that is no fuzzer,
# and 1 if any fuzzer found something, did not start, ended abnormally or ran
# fewer than FUZZ_MIN_EXECS inputs (default 100 a second, at most 1000;
# fuzz/run_fuzzer.sh decides).
set -euo pipefail
source "$(dirname "$0")/env.sh"

seconds=${1:-600}
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "fuzz: seconds must be a whole number above 0, not '$seconds'" >&2
  exit 2
fi
parallel=${FUZZ_PARALLEL:-1}
# 100 a second up to 1000: the slowest fuzzer (fuzz_jni) did 1786 or more in
# 1 s and 29312 in 20 s with both cores busy.
min_execs=${FUZZ_MIN_EXECS:-$((seconds >= 10 ? 1000 : 100 * seconds))}
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

built=()
for f in "$dir"/fuzz/fuzz_*; do
  [ -x "$f" ] && [ -f "$f" ] && built+=("$(basename "$f")")
done
if [ $# -gt 0 ]; then
  fuzzers=("$@")
  for name in "${fuzzers[@]}"; do
    if [ ! -x "$dir/fuzz/$name" ] || [ ! -f "$dir/fuzz/$name" ]; then
      echo "fuzz: no fuzzer '$name'; built: ${built[*]:-none}" >&2
      exit 2
    fi
  done
else
  fuzzers=("${built[@]}")
fi
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "fuzz: no fuzzer was built in $dir/fuzz" >&2
  exit 1
fi

run_one() {
  local name=$1
  local corpus="$BUILD/fuzz-corpus/$name" log="$BUILD/fuzz-logs/$name.log"
  local findings="$BUILD/fuzz-findings/$name"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  echo "fuzz: $name for ${seconds}s (log: $log)"
  local status=0
  bash "$ROOT/fuzz/run_fuzzer.sh" "$min_execs" "$dir/fuzz/$name" \
    -max_total_time="$seconds" -artifact_prefix="$findings/" \
    "$corpus" "$ROOT/fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  echo "$status" >"$log.status"
}

# Each run leaves its verdict in NAME.log.status, so that none is lost
# however the jobs are reaped.
mkdir -p "$BUILD/fuzz-logs"
for name in "${fuzzers[@]}"; do rm -f "$BUILD/fuzz-logs/$name.log.status"; done
for name in "${fuzzers[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  run_one "$name" &
done
wait

status=0
printf '\n%-20s %10s %14s %8s  %-9s %s\n' fuzzer exec/s executions corpus verdict findings
for name in "${fuzzers[@]}"; do
  log="$BUILD/fuzz-logs/$name.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  corpus=$(find "$BUILD/fuzz-corpus/$name" -type f | wc -l)
  found=$(find "$BUILD/fuzz-findings/$name" -type f | wc -l)
  run=$(cat "$log.status" 2>/dev/null || echo none)
  verdict=ok
  if [ "$run" != 0 ]; then
    status=1
    verdict=FAILED
  fi
  if [ "$found" -gt 0 ] || grep -qE '^(==[0-9]+==ERROR|SUMMARY: )|invariant broken' "$log"; then
    status=1
    verdict=FAILED
    found="$found (see $log)"
  fi
  printf '%-20s %10s %14s %8s  %-9s %s\n' "$name" "${rate:-?}" "${execs:-?}" "$corpus" "$verdict" "$found"
  [ "$run" = 0 ] || grep '^run_fuzzer: ' "$log" | tail -n 1 | sed 's/^/    /'
done
exit $status
