#!/usr/bin/env bash
# Shrinks and obfuscates the host classes and the demo with ProGuard, as an
# app's release build would, and runs the result. With java/proguard-rules.pro
# both native methods must still bind, also as the first use of their class,
# and the demo must tell a missing library without an Error; without the
# rules they must not bind, or this check would prove nothing.
#   keep_rules_check.sh JAVA LIBDIR HOST_JAR DEMO_JAR RULES WORKDIR [FIRST_CALL_JAR]
# Without FIRST_CALL_JAR (an emulated JVM, where each run takes a minute) only
# the demo is run, with the library.
set -euo pipefail
java=$1 libdir=$2 host_jar=$3 demo_jar=$4 rules=$5 work=$6 first_call_jar=${7:-}
mkdir -p "$work/no-library"

shrink() {  # shrink OUT_JAR [extra config lines...]
  local out=$1; shift
  {
    echo "-injars $host_jar"
    echo "-injars $demo_jar(!META-INF/MANIFEST.MF)"
    [ -z "$first_call_jar" ] || echo "-injars $first_call_jar(!META-INF/MANIFEST.MF)"
    echo "-outjars $out"
    echo "-keep public class com.torvanelk.pemblisk.demo.RootCheckerDemo { public static void main(java.lang.String[]); }"
    [ -z "$first_call_jar" ] ||
      echo "-keep public class com.torvanelk.pemblisk.utils.FirstNativeCall { public static void main(java.lang.String[]); }"
    echo "-repackageclasses ''"
    echo "-allowaccessmodification"
    # ProGuard 6 cannot read the JDK 17 class library; the app's own classes
    # reach it only through java.*, which is never renamed.
    echo "-dontwarn java.**"
    echo "-dontnote"
    printf '%s\n' "$@"
  } > "$out.pro"
  proguard "@$out.pro" > "$out.log" 2>&1 || { cat "$out.log"; exit 1; }
}

# A 16-byte blob: nativeDecrypt is called and gives null under any key. (A
# 32-byte blob of zeros would open under one key in sixteen.)
run() {  # run JAR [LIBDIR]
  "$java" -Xcheck:jni -Djava.library.path="${2:-$libdir}" -cp "$1" \
    com.torvanelk.pemblisk.demo.RootCheckerDemo --blob "$(printf '%032d' 0)" 2>&1 || true
}

shrink "$work/kept.jar" "-include $rules"
out=$(run "$work/kept.jar")
echo "--- with the keep rules:"; echo "$out"
grep -q 'UnsatisfiedLinkError' <<<"$out" && { echo "FAIL: a native method no longer binds"; exit 1; }
grep -q '^root check: ' <<<"$out" || { echo "FAIL: the root check did not run"; exit 1; }
grep -q '^decrypt: null' <<<"$out" || { echo "FAIL: the decrypter did not run"; exit 1; }
if [ -n "$first_call_jar" ]; then
  for method in nativeDecrypt nativeCheckForRoot; do
    out=$("$java" -Xcheck:jni -Djava.library.path="$libdir" -cp "$work/kept.jar" \
      com.torvanelk.pemblisk.utils.FirstNativeCall $method 2>&1 || true)
    echo "$out"
    grep -Eq "^$method: (null|0)\$" <<<"$out" ||
      { echo "FAIL: $method as the first use of its class did not bind"; exit 1; }
  done
  out=$(run "$work/kept.jar" "$work/no-library")
  echo "--- with the keep rules, without the library:"; echo "$out"
  grep -q '^librootchecker.so did not load: java.lang.UnsatisfiedLinkError' <<<"$out" &&
    ! grep -q 'Exception in thread' <<<"$out" ||
    { echo "FAIL: the shrunk classes did not tell a missing library by isAvailable()"; exit 1; }
fi

shrink "$work/bare.jar" "-dontwarn androidx.annotation.**"
out=$(run "$work/bare.jar")
echo "--- without them:"; echo "$out" | head -3
grep -q 'UnsatisfiedLinkError' <<<"$out" || { echo "FAIL: obfuscation without the rules did not break binding"; exit 1; }
echo "keep rules: OK"
