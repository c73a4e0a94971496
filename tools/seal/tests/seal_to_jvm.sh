#!/usr/bin/env bash
# A password sealed by rootchecker-seal opens through nativeDecrypt in a real
# JVM of the build's bitness; one sealed under another key does not.
#   seal_to_jvm.sh JVM LIBDIR HOST_JAR DEMO_JAR SEAL_TOOL WORKDIR
set -euo pipefail
jvm=$1 libdir=$2 host_jar=$3 demo_jar=$4 seal=$5 work=$6
mkdir -p "$work"

open_in_jvm() {
  "$jvm" -Xcheck:jni -Djava.library.path="$libdir" -cp "$host_jar:$demo_jar" \
    com.torvanelk.pemblisk.demo.RootCheckerDemo --blob "$1" 2>&1
}

password='sealed for the JVM: grüße, 0123456789abcdef'
expected="password ($(printf '%s' "$password" | wc -c) bytes): \"$password\""

blob=$(printf '%s' "$password" | "$seal" seal --format hex 2>/dev/null)
out=$(open_in_jvm "$blob") || true  # the demo exits non-zero when a blob does not open
if ! grep -qF "$expected hex " <<<"$out" || grep -q 'WARNING' <<<"$out"; then
  printf 'FAIL: built-in key: expected the line\n  %s\ngot:\n%s\n' "$expected" "$out"
  exit 1
fi
echo "ok: the library opens a blob the tool sealed under its key"

# Another key: the library must not give the password back.
od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$work/other.key"
blob=$(printf '%s' "$password" | "$seal" seal --key-file "$work/other.key" --format hex 2>/dev/null)
out=$(open_in_jvm "$blob") || true  # the demo exits non-zero when a blob does not open
if grep -qF "$password" <<<"$out" || grep -q 'WARNING' <<<"$out"; then
  printf 'FAIL: a blob sealed under another key opened:\n%s\n' "$out"
  exit 1
fi
echo "ok: a blob sealed under another key does not open"
