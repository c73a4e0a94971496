#!/usr/bin/env bash
# Compiles the Java and Kotlin examples of docs/java-api.md against
# rootchecker.jar alone (no AndroidX, no annotation stand-ins: what an app
# that takes the jar has), and a Kotlin control that ignores the null that
# decrypt() may return, which Kotlin must reject.
#   api_examples_check.sh JAVAC KOTLINC HOST_JAR DOC CONTROL_KT WORKDIR
set -euo pipefail
javac=$1 kotlinc=$2 host_jar=$3 doc=$4 control=$5 work=$6
rm -rf "$work" && mkdir -p "$work/java" "$work/kotlin"

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

# One kotlinc run for both Kotlin files (kotlinc takes 7 s to start on an idle
# machine, 20 s on a busy one): the example must raise no error, the control
# the nullability error and no other.
out=$("$kotlinc" -nowarn -cp "$host_jar" -d "$work/kotlin/classes" $kotlin_blocks "$control" 2>&1 |
  grep -v '^OpenJDK .* VM warning' || true)
echo "$out"
# kotlinc prints a path below its working folder relative to it.
name=$(basename "$control")
if grep 'error:' <<<"$out" | grep -Evq "(^|/)$name:"; then
  echo "FAIL: the Kotlin example does not compile"; exit 1
fi
echo "Kotlin example: compiles"
errors=$(grep -c 'error:' <<<"$out" || true)
[ "$errors" = 1 ] && grep -Eq "(^|/)$name:[0-9]+:[0-9]+: error: type mismatch: inferred type is ByteArray\? but ByteArray was expected" <<<"$out" ||
  { echo "FAIL: Kotlin took decrypt() for a ByteArray that cannot be null"; exit 1; }
echo "Kotlin control: rejected, decrypt() is ByteArray?"
echo "API examples: OK"
