#!/usr/bin/env bash
# Builds the library for this machine and runs the Java demo on the 64-bit
# JVM: the root check on the default paths, then a password sealed with
# rootchecker-seal and opened through NativePasswordDecrypter.
#   bash scripts/demo.sh ["sample password"]
set -euo pipefail
source "$(dirname "$0")/env.sh"
bash "$ROOT/scripts/setup.sh" --host
mkdir -p "$BUILD"
build host64 >"$BUILD/host64.build.log" 2>&1 || { cat "$BUILD/host64.build.log"; exit 1; }

dir="$BUILD/host64"
demo() {
  "$JAVA64" -Djava.library.path="$dir" \
    -cp "$dir/java/rootchecker.jar:$dir/java/rootchecker-demo.jar" \
    com.torvanelk.pemblisk.demo.RootCheckerDemo "$@"
}

password=${1:-"correct horse battery staple"}
seal=$(find "$dir/tools" -type f -name rootchecker-seal -perm -u+x 2>/dev/null | head -n 1 || true)
if [ -z "$seal" ]; then
  echo "demo: rootchecker-seal is not built; root check only" >&2
  demo
  exit
fi

# The tool seals under the key the library was built with.
blob=$(printf '%s' "$password" | "$seal" seal --format hex)
echo "sealed \"$password\" with $seal"
demo --blob "$blob"
