#!/usr/bin/env bash
# Runs one libFuzzer target and fails unless it really ran: the fuzzer must
# exist and start, end with exit status 0, and report in its final statistics
# at least MIN_EXECS executed inputs. A fuzzer that cannot start, dies, or
# stops at once would otherwise look like a clean run.
#
#   fuzz/run_fuzzer.sh MIN_EXECS FUZZER [libFuzzer arguments...]
#
# The fuzzer's output passes through; the verdict is the last line.
set -uo pipefail
if [ $# -lt 2 ]; then
  echo "usage: run_fuzzer.sh MIN_EXECS FUZZER [libFuzzer arguments...]" >&2
  exit 2
fi
min=$1 fuzzer=$2
shift 2
name=$(basename "$fuzzer")
if [ ! -f "$fuzzer" ] || [ ! -x "$fuzzer" ]; then
  echo "run_fuzzer: FAIL $name: no such fuzzer ($fuzzer)"
  exit 2
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$fuzzer" -print_final_stats=1 "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ "$status" -ne 0 ]; then
  echo "run_fuzzer: FAIL $name: exit status $status after ${execs:-no} executions"
  exit 1
fi
if ! [[ "$execs" =~ ^[0-9]+$ ]]; then
  echo "run_fuzzer: FAIL $name: no final statistics, so no proof that it ran"
  exit 1
fi
if [ "$execs" -lt "$min" ]; then
  echo "run_fuzzer: FAIL $name: $execs executions, fewer than the floor of $min"
  exit 1
fi
echo "run_fuzzer: PASS $name: $execs executions"
