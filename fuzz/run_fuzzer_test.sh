#!/usr/bin/env bash
# run_fuzzer.sh must fail every run that is no proof of fuzzing, and pass a
# real one.
#   run_fuzzer_test.sh FUZZER
set -uo pipefail
runner="$(dirname "$0")/run_fuzzer.sh"
fuzzer=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect NAME STATUS MESSAGE -- run_fuzzer.sh arguments
expect() {
  local name=$1 want=$2 message=$3
  shift 4
  local out status
  out=$(bash "$runner" "$@" 2>&1)
  status=$?
  if { [ "$want" = fail ] && [ $status -eq 0 ]; } ||
    { [ "$want" = pass ] && [ $status -ne 0 ]; } ||
    ! grep -qF "$message" <<<"$(tail -n 1 <<<"$out")"; then
    echo "FAIL: $name: exit status $status, last line: $(tail -n 1 <<<"$out")"
    failures=$((failures + 1))
  else
    echo "ok: $name: $(tail -n 1 <<<"$out")"
  fi
}

expect "a misspelt fuzzer" fail "no such fuzzer" -- 1 "$fuzzer-misspelt" -runs=10
expect "a fuzzer that exits 1 at once" fail "exit status 1" -- 1 /bin/false
expect "exit 0 without statistics" fail "no final statistics" -- 1 /bin/true
expect "a fuzzer that cannot start (missing corpus folder)" fail "exit status" \
  -- 1 "$fuzzer" -runs=10 "$work/missing"
expect "fewer runs than the floor" fail "fewer than the floor of 1000" \
  -- 1000 "$fuzzer" -runs=10 "$work"
expect "a real run" pass "PASS" -- 10 "$fuzzer" -runs=100 "$work"
exit $((failures > 0))
