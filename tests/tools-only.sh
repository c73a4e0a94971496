#!/usr/bin/env bash
# The tools without the tests: configures and builds with
# ROOTCHECKER_BUILD_TESTS=OFF while GoogleTest, nlohmann-json, Google
# Benchmark, pyelftools and JUnit cannot be found, then seals a password with
# rootchecker-seal and opens the blob with its verify. Then the same with
# clang driving a linker that refuses GNU ld's ELF-only options
# (tests/strict-ld.sh), as Apple's ld64 would: the configure finds which it
# takes, and the tools build without them. Then the tool's POSIX branches,
# those a system without Linux's extensions takes, built and run on Linux.
#
#   tests/tools-only.sh SOURCE_DIR BUILD_DIR
#
# As root, the packages' files are hidden behind empty mounts in a mount
# namespace of the configure's own (unshare -m), so that not even a search
# that ignores CMAKE_DISABLE_FIND_PACKAGE_<name> finds them. Without unshare
# only the CMake switches hide them, and the script says so.
set -uo pipefail
src=$(cd "$1" && pwd) build=$2
rm -rf "$build" && mkdir -p "$build" || exit 1
build=$(cd "$build" && pwd)

hidden=(/usr/include/gtest /usr/include/gmock /usr/src/googletest
  /usr/lib/x86_64-linux-gnu/cmake/GTest /usr/include/nlohmann /usr/share/cmake/nlohmann_json
  /usr/include/benchmark /usr/lib/x86_64-linux-gnu/cmake/benchmark
  /usr/lib/python3/dist-packages/elftools /usr/share/java)
configure=(cmake -S "$src" -B "$build" -G Ninja -DROOTCHECKER_BUILD_TESTS=OFF
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DROOTCHECKER_KEY_FILE="$build/app.key")
od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$build/app.key"

# run_hidden COMMAND...: COMMAND with the packages' folders hidden.
run_hidden() {
  local mounts="" dir
  for dir in "${hidden[@]}"; do
    [ -e "$dir" ] && mounts+="mount -t tmpfs none '$dir' && "
  done
  unshare -m sh -c "${mounts}"'exec "$@"' sh "$@"
}
if unshare -m true 2>/dev/null; then
  echo "tools-only: hidden behind empty mounts: ${hidden[*]}"
  run=(run_hidden)
  run_hidden sh -c 'python3 -c "import elftools.elf.elffile" 2>/dev/null || /usr/bin/python3 -c "import elftools.elf.elffile" 2>/dev/null' &&
    { echo "tools-only: pyelftools is still importable"; exit 1; }
  run_hidden test -e /usr/share/java/junit-platform-console-standalone.jar &&
    { echo "tools-only: JUnit is still there"; exit 1; }
else
  echo "tools-only: no mount namespace here (unshare -m): only CMAKE_DISABLE_FIND_PACKAGE_<name> hides the packages"
  run=()
fi
"${run[@]}" "${configure[@]}" >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
"${run[@]}" cmake --build "$build" -j "${ROOTCHECKER_JOBS:-2}" >"$build/build.log" 2>&1 ||
  { tail -n 40 "$build/build.log"; exit 1; }

status=0
for file in librootchecker.so tools/seal/rootchecker-seal java/rootchecker.jar; do
  [ -f "$build/$file" ] || { echo "tools-only: $file was not built"; status=1; }
done
# Nothing of the test suite was looked for or built.
if grep -E '^(GTest_DIR|nlohmann_json_DIR|benchmark_DIR|ROOTCHECKER_PYTHON|ROOTCHECKER_JUNIT_JAR|ROOTCHECKER_TEST_JVM)[:=]' \
    "$build/CMakeCache.txt"; then
  echo "tools-only: the configure looked for the tests' packages (above)"
  status=1
fi
[ ! -e "$build/CTestTestfile.cmake" ] || { echo "tools-only: tests were configured"; status=1; }

# Seal and verify: the tool opens the blob with the library's decrypter.
seal=$build/tools/seal/rootchecker-seal password="tools only $RANDOM"
if printf '%s\n' "$password" | "$seal" seal --out "$build/blob" 2>"$build/seal.err" &&
  opened=$("$seal" verify --in "$build/blob" --show 2>&1) &&
  [ "$(tail -n 1 <<<"$opened")" = "$password" ]; then
  echo "tools-only: sealed \"$password\", and verify opened the blob:"
  sed 's/^/  /' <<<"$opened"
else
  echo "tools-only: seal and verify failed:"
  cat "$build/seal.err"
  echo "${opened:-}"
  status=1
fi

# A linker that takes none of the library's GNU options.
strict=$build-strict-ld
rm -rf "$strict"
if cmake -S "$src" -B "$strict" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DROOTCHECKER_BUILD_TESTS=OFF -DROOTCHECKER_KEY_FILE="$build/app.key" \
    -DCMAKE_EXE_LINKER_FLAGS="-fuse-ld=$src/tests/strict-ld.sh" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fuse-ld=$src/tests/strict-ld.sh" >"$strict.log" 2>&1 &&
  cmake --build "$strict" -j "${ROOTCHECKER_JOBS:-2}" >>"$strict.log" 2>&1 &&
  printf '%s\n' "$password" | "$strict/tools/seal/rootchecker-seal" seal --out "$strict/blob" 2>/dev/null &&
  [ "$("$strict/tools/seal/rootchecker-seal" verify --in "$strict/blob" --show 2>&1 | tail -n 1)" = "$password" ]; then
  refused=$(sed -n 's/^-- The linker does not take \([^:]*\):.*/\1/p' "$strict.log" | sed 's/=.*librootchecker.map/=<map>/' | paste -sd' ' -)
  echo "tools-only: with a linker that refuses them, the configure left out: ${refused:-nothing}; the tools built, seal and verify work"
  [ -n "$refused" ] || status=1
else
  echo "tools-only: with a linker that refuses the GNU options, the build failed:"
  tail -n 30 "$strict.log"
  status=1
fi
rm -rf "$strict"

# The tool's POSIX branches (ROOTCHECKER_POSIX_ONLY takes them on Linux too,
# as on macOS: no openat2, O_PATH, gettid or /proc), built by clang with
# -Werror and the strict linker, then run: seal and verify, --out through a
# symbolic link, through /dev/fd/N, and refused over a file open on a
# descriptor.
posix=$build-posix-only
rm -rf "$posix"
if cmake -S "$src" -B "$posix" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DROOTCHECKER_BUILD_TESTS=OFF -DROOTCHECKER_KEY_FILE="$build/app.key" -DROOTCHECKER_WERROR=ON \
    -DCMAKE_CXX_FLAGS=-DROOTCHECKER_POSIX_ONLY \
    -DCMAKE_EXE_LINKER_FLAGS="-fuse-ld=$src/tests/strict-ld.sh" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fuse-ld=$src/tests/strict-ld.sh" >"$posix.log" 2>&1 &&
  cmake --build "$posix" -j "${ROOTCHECKER_JOBS:-2}" --target rootchecker-seal >>"$posix.log" 2>&1; then
  tool=$posix/tools/seal/rootchecker-seal problems=()
  # Linux-only imports: none in this build, and nm does see them in the
  # Linux build's tool (the control).
  linux_only_imports() {
    nm -u --without-symbol-versions "$1" | awk '{print $2}' | grep -E '^(gettid|syscall|openat2)$' | paste -sd' ' -
  }
  found=$(linux_only_imports "$tool")
  [ -z "$found" ] || problems+=("imports Linux-only $found")
  control=$(linux_only_imports "$seal")
  [ -n "$control" ] || problems+=("control: nm finds no Linux-only import in the Linux build's tool either")
  mkdir -p "$posix/run/real" && ln -s real/blob "$posix/run/link" && echo old >"$posix/run/real/blob"
  printf '%s\n' "$password" | "$tool" seal --out "$posix/run/link" 2>>"$posix.log" || problems+=("seal through a link failed")
  [ -L "$posix/run/link" ] || problems+=("--out replaced the link itself")
  [ "$("$tool" verify --in "$posix/run/real/blob" --show 2>&1 | tail -n 1)" = "$password" ] ||
    problems+=("verify did not open the blob written through the link")
  : >"$posix/run/appended"
  printf '%s\n' "$password" | "$tool" seal --out /dev/fd/3 3>>"$posix/run/appended" 2>>"$posix.log" &&
    [ "$("$tool" verify --in "$posix/run/appended" --show 2>&1 | tail -n 1)" = "$password" ] ||
    problems+=("--out /dev/fd/3 did not write through descriptor 3")
  refused=$(printf '%s\n' "$password" | "$tool" seal --out "$posix/run/appended" 3>>"$posix/run/appended" 2>&1)
  [ $? = 2 ] && grep -q 'is the file open on descriptor 3' <<<"$refused" ||
    problems+=("--out over the file open on descriptor 3 was not refused: ${refused:-no message}")
  if [ ${#problems[@]} = 0 ]; then
    echo "tools-only: POSIX-only branches (clang -Werror, strict linker): no import of gettid/syscall/openat2 (the Linux build imports: $control); seal and verify work, through a link, /dev/fd/3, and over an open file refused"
  else
    printf 'tools-only: POSIX-only branches: %s\n' "${problems[@]}"
    status=1
  fi
else
  echo "tools-only: the POSIX-only build (-DROOTCHECKER_POSIX_ONLY, -Werror) failed:"
  tail -n 30 "$posix.log"
  status=1
fi
rm -rf "$posix"

# The control: with the tests on, the same hidden packages stop the configure.
control=$build-with-tests
rm -rf "$control"
if "${run[@]}" "${configure[@]/#-DROOTCHECKER_BUILD_TESTS=OFF/-DROOTCHECKER_BUILD_TESTS=ON}" -B "$control" \
    >"$build/control.log" 2>&1; then
  echo "tools-only: control: with ROOTCHECKER_BUILD_TESTS=ON the configure went through: nothing was hidden"
  status=1
else
  echo "tools-only: control: with ROOTCHECKER_BUILD_TESTS=ON the configure stops: missing $(tr -s ' \n' '  ' <"$build/control.log" | grep -oE 'package for module [A-Za-z_]+|junit-platform-console-standalone.jar not found|pyelftools' | sed 's/package for module //' | sort -u | paste -sd, -)"
fi
rm -rf "$control"
exit $status
