# Sourced by the other scripts: where things are.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${ROOTCHECKER_BUILD_DIR:-$ROOT/build}"
JAVA64=/usr/lib/jvm/java-17-openjdk-amd64/bin/java
JAVA32=/usr/lib/jvm/java-17-openjdk-i386/bin/java
export JAVA_HOME=/usr/lib/jvm/java-17-openjdk-amd64

# Parallel jobs for builds and tests: the machine has 2 cores.
JOBS="${ROOTCHECKER_JOBS:-2}"

# build NAME [cmake args...]: configures and builds $BUILD/NAME. With
# BUILD_TARGET set, builds only that target.
build() {
  local name=$1; shift
  cmake -S "$ROOT" -B "$BUILD/$name" -G Ninja -DROOTCHECKER_WERROR=ON "$@" >"$BUILD/$name.configure.log" 2>&1 \
    || { cat "$BUILD/$name.configure.log"; return 1; }
  cmake --build "$BUILD/$name" -j "$JOBS" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
}
