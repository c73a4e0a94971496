# Sourced by the other scripts: where things are.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The presets (CMakePresets.json) build in build/<preset>.
BUILD="$ROOT/build"
JAVA64=/usr/lib/jvm/java-17-openjdk-amd64/bin/java
JAVA32=/usr/lib/jvm/java-17-openjdk-i386/bin/java
export JAVA_HOME=/usr/lib/jvm/java-17-openjdk-amd64

# Parallel jobs for builds and tests: the machine has 2 cores.
JOBS="${ROOTCHECKER_JOBS:-2}"

# build PRESET [cmake args...]: configures $BUILD/PRESET with its configure
# preset and builds it with its build preset.
build() {
  local name=$1; shift
  local cache="$BUILD/$name/CMakeCache.txt" fresh=()
  mkdir -p "$BUILD"
  # A toolchain file's flags reach only a new cache: after one changes, the
  # build starts afresh rather than build with the old flags.
  if [ -f "$cache" ] && [ -n "$(find "$ROOT/cmake" -name '*.cmake' -newer "$cache")" ]; then
    fresh=(--fresh)
  fi
  (cd "$ROOT" && cmake --preset "$name" "${fresh[@]}" "$@") >"$BUILD/$name.configure.log" 2>&1 \
    || { cat "$BUILD/$name.configure.log"; return 1; }
  (cd "$ROOT" && cmake --build --preset "$name" -j "$JOBS")
}
