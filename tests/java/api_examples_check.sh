#!/usr/bin/env bash
# Compiles the Java and Kotlin examples of docs/java-api.md against
# rootchecker.jar alone (no AndroidX, no annotation stand-ins: what an app
# that takes the jar has), compiles a Kotlin control that ignores the null
# decrypt() may return and must be rejected, and runs the Kotlin example with
# and without the library.
#   api_examples_check.sh JAVA JAVAC KOTLINC KOTLIN_STDLIB LIBDIR HOST_JAR DOC CONTROL_KT WORKDIR
set -euo pipefail
java=$1 javac=$2 kotlinc=$3 stdlib=$4 libdir=$5 host_jar=$6 doc=$7 control=$8 work=$9
rm -rf "$work" && mkdir -p "$work/java" "$work/kotlin" "$work/control" "$work/empty"

# Each ```java / ```kotlin block of the page, one file per block.
awk -v dir="$work" '
  /^```(java|kotlin)$/ { lang = substr($0, 4); n++; file = dir "/" lang "/" (lang == "java" ? n ".java" : "Example.kt"); next }
  /^```/ { file = ""; next }
  file != "" { print > file }' "$doc"
java_blocks=$(find "$work/java" -name '*.java' | sort)
kotlin_blocks=$work/kotlin/Example.kt
[ -n "$java_blocks" ] || { echo "FAIL: no \`\`\`java block in $doc"; exit 1; }
[ "$(grep -c '^```kotlin$' "$doc")" = 1 ] || { echo "FAIL: want one \`\`\`kotlin block in $doc"; exit 1; }

for f in $java_blocks; do
  "$javac" --release 8 -Xlint:all -Werror -cp "$host_jar" -d "$work/java/classes" "$f" ||
    { echo "FAIL: the Java example $f does not compile"; exit 1; }
done
echo "Java examples: compile"

# kotlinc prints a JVM deprecation warning on JDK 17; only its own lines count.
kotlin() { "$kotlinc" -nowarn -cp "$host_jar" "$@" 2>&1 | grep -v '^OpenJDK .* VM warning' || true; }

out=$(kotlin -d "$work/kotlin/classes" $kotlin_blocks)
if grep -q 'error:' <<<"$out" || [ ! -d "$work/kotlin/classes" ]; then
  echo "$out"; echo "FAIL: the Kotlin example does not compile"; exit 1
fi
echo "Kotlin example: compiles"

out=$(kotlin -d "$work/control/classes" "$control")
echo "$out"
grep -Eq "$(basename "$control"):[0-9]+:[0-9]+: error: type mismatch: inferred type is ByteArray\? but ByteArray was expected" <<<"$out" ||
  { echo "FAIL: Kotlin took decrypt() for a ByteArray that cannot be null"; exit 1; }
echo "Kotlin control: rejected, decrypt() is ByteArray?"

run() {
  "$java" -Djava.library.path="$1" -cp "$host_jar:$work/kotlin/classes:$stdlib" ExampleKt 2>&1 || true
}
out=$(run "$work/empty")
echo "--- without the library:"; echo "$out"
grep -q '^library: java.lang.UnsatisfiedLinkError: no rootchecker' <<<"$out" &&
  grep -qx 'root traces: null' <<<"$out" && grep -qx 'password opened: false' <<<"$out" ||
  { echo "FAIL: the Kotlin example without the library"; exit 1; }
out=$(run "$libdir")
echo "--- with it:"; echo "$out"
grep -qx 'library: loaded' <<<"$out" && grep -q '^root traces: \[' <<<"$out" ||
  { echo "FAIL: the Kotlin example with the library"; exit 1; }
echo "API examples: OK"
