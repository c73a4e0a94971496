#!/usr/bin/env bash
# run_consttime.sh VALGRIND PROBE MODE EXPECT
#
# Runs `PROBE MODE` under memcheck, without any suppression, and checks what
# memcheck said about the secret inputs against EXPECT:
#   clean      no error of any kind
#   addresses  memory addresses computed from secrets, and no branch on one
#   branches   at least one branch or conditional move on a secret
set -u
valgrind=$1 probe=$2 mode=$3 expect=$4
log=$(mktemp)
trap 'rm -f "$log"' EXIT

"$valgrind" --tool=memcheck --default-suppressions=no --error-exitcode=99 \
  --num-callers=4 --log-file="$log" "$probe" "$mode"
status=$?

branches=$(grep -c 'Conditional jump or move depends on uninitialised value' "$log")
addresses=$(grep -c 'Use of uninitialised value of size' "$log")
summary=$(grep -o 'ERROR SUMMARY: [0-9]* errors' "$log" | head -n 1)
echo "$mode: exit $status; $summary; branch reports: $branches; address reports: $addresses"
# What memcheck said: each kind of error and the function it arose in.
sed -n 's/^==[0-9]*== //p' "$log" | awk '
  /^(Conditional|Use of|Invalid)/ { kind = $0; next }
  kind != "" && /^   at / {
    sub(/^   at 0x[0-9A-Fa-f]+: /, ""); sub(/ \(in .*/, "")
    print kind "  in " $0; kind = ""
  }' | sort | uniq -c

fail() { echo "FAIL $mode: $*"; cat "$log"; exit 1; }
case $expect in
  clean)
    [ "$status" -eq 0 ] || fail "memcheck reported errors (exit $status)"
    [ "$branches" -eq 0 ] && [ "$addresses" -eq 0 ] || fail "secret-dependent code"
    ;;
  addresses)
    [ "$status" -eq 99 ] || fail "expected memcheck to report (exit $status)"
    [ "$addresses" -gt 0 ] || fail "expected secret-indexed addresses"
    [ "$branches" -eq 0 ] || fail "a branch or conditional move depends on a secret"
    ;;
  branches)
    [ "$status" -eq 99 ] || fail "expected memcheck to report (exit $status)"
    [ "$branches" -gt 0 ] || fail "the deliberate branch on a secret went unseen"
    ;;
  *) fail "unknown expectation $expect" ;;
esac
echo "PASS $mode ($expect)"
