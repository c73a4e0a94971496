#!/usr/bin/env bash
# The whole CI pipeline, one stage after the other. A failed stage fails the
# run but does not stop the stages after it. Each stage prints a header and
# its time; the run ends with a table of every stage.
#
#   a  host64       g++, 64-bit: C++ tests and JUnit on the 64-bit JVM
#   b  x86          g++, 32-bit x86: C++ tests and JUnit on the 32-bit JVM
#   c  x86-clang    clang (the NDK's compiler), 32-bit x86: the same
#                   (on a kernel without 32-bit x86: the C++ tests under
#                   qemu-i386, the JVM and memcheck tests in a VM)
#   d  asan         clang, 64-bit, AddressSanitizer + UBSan: the C++ tests
#   e  tsan         clang, 64-bit, ThreadSanitizer: the concurrency test
#   f  valgrind     memcheck over every C++ test binary of host64
#   g  fuzz         each fuzzer for a short while (when fuzz/ exists)
#   h  binary       checks on librootchecker.so and the constant-time check,
#                   in host64, x86 and x86-clang; the key scan, the
#                   Android-loader check and the stack test in clang -flto
#                   builds too (64-bit and 32-bit x86)
#   i  format       clang-format over every C++ source
#   j  arm64        clang, 64-bit ARM (arm64-v8a): the C++ tests and the
#                   checks under qemu-aarch64; JUnit on the arm64 JVM, memcheck
#                   and the page-size tests in an arm64 VM with 16 KB pages
#   k  armv7        clang, 32-bit ARM (armeabi-v7a): the same under qemu-arm
#                   and, as a 32-bit process, in an arm64 VM with 4 KiB pages
#   l  android      the library as the NDK builds it in an app's module, all
#                   four ABIs at API 21 and 26 with c++_shared and c++_static,
#                   Release, Debug and RelWithDebInfo, against stand-ins for
#                   the NDK's headers, crt objects and libraries; the loader
#                   check in its Android mode, and controls that must fail
#   m  app          the library as a guest in an app's build (tests/app, with
#                   add_subdirectory): on the host with no build type, and
#                   with the stand-in at API 21 and 26, c++_shared and
#                   c++_static, on the four ABIs; the tools without the
#                   tests' packages; the secrets checks on Debug and
#                   RelWithDebInfo host builds
#
# Each build is a preset of CMakePresets.json (configure, build and test,
# the test presets carrying each stage's filters); what a preset cannot say
# (the VM, memcheck over every test binary, the LTO key scans) stays here,
# next to the preset's call.
#
# ROOTCHECKER_STAGES="a b h" runs only some stages; ROOTCHECKER_JOBS sets the
# parallelism (2); ROOTCHECKER_X86_EMULATED=1 runs the 32-bit x86 programs
# under qemu-i386 as on a kernel that cannot run them (see below).
#
# Everything the run builds, its keys and its fake NDK live in build/ci, the
# presets' folders with ROOTCHECKER_PRESET_PREFIX=ci/ (CMakePresets.json), so
# that a folder the user configured (build/x86, build/android-x86, ...) keeps
# its cache and its files. The VM's kernels are fetched into build/vm.
set -uo pipefail
source "$(dirname "$0")/env.sh"
cd "$ROOT" || exit 1
bash "$ROOT/scripts/setup.sh" || exit 1
export ROOTCHECKER_PRESET_PREFIX=ci/
BUILD="$ROOT/build/ci"
# The folder is the run's own only if a run made it: one made by hand is
# named and left alone.
if [ -d "$BUILD" ] && [ ! -f "$BUILD/.made-by-test-sh" ]; then
  echo "test.sh: $BUILD was not made by this script; move it away or remove it, then run again" >&2
  exit 1
fi
mkdir -p "$BUILD" && touch "$BUILD/.made-by-test-sh" || exit 1
LOGS="$BUILD/logs"
mkdir -p "$LOGS"
# Where the kernel cannot run 32-bit x86 programs, setup.sh has them run
# under qemu-i386. The C++ tests run there as they are. The 32-bit JVM and
# 32-bit valgrind do not (HotSpot dies under qemu-user, in its safepoint blob
# and on failed guarantees), so on such a machine the tests that need them
# (labels jvm and valgrind) run in a small VM with a real kernel instead
# (scripts/vm.sh), one VM for each 32-bit build. ROOTCHECKER_X86_IN_VM=1
# takes that path on any machine.
#
# Where 32-bit x86 runs natively, ROOTCHECKER_X86_EMULATED=1 makes it run
# the way such a kernel does: a binfmt_misc entry of its own hands every
# 32-bit x86 program to qemu-i386 for the whole run, and is removed when the
# run ends. Without the switch, stage b still runs the seal tool's tests that
# way (with_emulated_x86), since what qemu-user does not pass on to the
# program (RLIMIT_AS, for one) is what broke there before.
BINFMT=/proc/sys/fs/binfmt_misc
FORCED_ENTRY=$BINFMT/rootchecker-i386-forced
# emulate_x86 on|off: adds or removes the forced entry.
emulate_x86() {
  if [ "$1" = off ]; then
    [ ! -e "$FORCED_ENTRY" ] || echo -1 >"$FORCED_ENTRY"
    return
  fi
  [ -e "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT" || return 1
  # The same magic and mask as scripts/setup.sh's entry.
  [ -e "$FORCED_ENTRY" ] ||
    printf '%s' ':rootchecker-i386-forced:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      >"$BINFMT/register" || return 1
  echo 1 >"$FORCED_ENTRY"
}
# A run that was killed may have left it.
emulate_x86 off
trap 'emulate_x86 off' EXIT
X86_VM=
X86_WHERE=
if grep -qx enabled "$BINFMT/rootchecker-i386" 2>/dev/null; then
  X86_VM=1 X86_WHERE=qemu-i386
  echo "note: this kernel cannot run 32-bit x86: the 32-bit C++ tests run under qemu-i386, the 32-bit JVM, memcheck and kernel tests in a VM (scripts/vm.sh)"
elif [ "${ROOTCHECKER_X86_EMULATED:-}" = 1 ]; then
  emulate_x86 on || { echo "test.sh: cannot register qemu-i386 with binfmt_misc (needs root)" >&2; exit 1; }
  X86_VM=1 X86_WHERE="qemu-i386, by ROOTCHECKER_X86_EMULATED=1"
  echo "note: ROOTCHECKER_X86_EMULATED=1: 32-bit x86 programs run under qemu-i386 for this run; the 32-bit JVM, memcheck and kernel tests in a VM (scripts/vm.sh)"
elif [ "${ROOTCHECKER_X86_IN_VM:-}" = 1 ]; then
  X86_VM=1 X86_WHERE=natively
  echo "note: ROOTCHECKER_X86_IN_VM=1: the 32-bit JVM, memcheck and kernel tests run in a VM (scripts/vm.sh)"
fi
# Over 9p a 32-bit readdir fails on the host's 64-bit directory cookies: the
# 32-bit JVM's tree and its configuration live in guest memory.
VM_LOCAL=(--local /usr/lib/jvm/java-17-openjdk-i386 --local /etc/java-17-openjdk)
in_vm() { bash "$ROOT/scripts/vm.sh" --timeout 2400 "${VM_LOCAL[@]}" -- "$@"; }

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

summary=()
failed=()

# tests PRESET [ctest args...]: runs CTest with a test preset and keeps its
# verdict line for the summary. RUNNER, a command, runs CTest (in the VM,
# say), and WHERE says in the summary where the tests ran.
tests() {
  local log="$LOGS/$1.log" preset=$1; shift
  ${RUNNER:-} ctest --preset "$preset" -j "$JOBS" "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  local verdict
  verdict=$(grep -E 'tests passed|No tests were found' "$log" | tail -n 1)
  summary+=("      $(basename "$log" .log): ${verdict:-no verdict, exit status $status}${WHERE:+ ($WHERE)}")
  return "$status"
}

# x86_tests NAME: the tests of a 32-bit x86 build but the checks. On the VM
# path the JVM and memcheck tests run in the VM, one at a time (the VM has
# one host thread), and the rest on the host.
x86_tests() {
  local name=$1 status=0
  if [ -z "$X86_VM" ]; then
    tests "$name" || status=1
    # The emulated path is what other machines depend on: the seal tool's
    # tests (one that runs a JVM among them) keep it proven here too.
    if [ "$name" = x86 ]; then
      if emulate_x86 on; then
        WHERE="qemu-i386, to prove the emulated path" \
          tests "$name-no-jvm" -R 'SealTool|SealRoundTrip' || status=1
        JOBS=1 RUNNER=in_vm WHERE="in the VM, to prove the emulated path" \
          tests "$name-vm" -R '^(seal\.opens_in_jvm|SealToolKernelTest\..*)$' || status=1
        emulate_x86 off
      else
        echo "x86: cannot register qemu-i386 with binfmt_misc: the emulated path is not proven"
        status=1
      fi
    fi
    return $status
  fi
  WHERE=$X86_WHERE tests "$name-no-jvm" || status=1
  JOBS=1 RUNNER=in_vm WHERE="in the VM: the 32-bit JVM, memcheck and kernel tests" \
    tests "$name-vm" || status=1
  return $status
}

stage_host64() {
  build host64 && tests host64
}

# The 32-bit build takes an app key at configure time, as a release would;
# the others use the development key.
stage_x86() {
  local key="$BUILD/x86-app.key"
  [ -s "$key" ] || od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$key"
  build x86 -DROOTCHECKER_KEY_FILE="$key" && x86_tests x86
}

stage_x86_clang() {
  build x86-clang && x86_tests x86-clang
}

stage_asan() {
  build asan && tests asan
}

# Only the concurrency test: the rest of the suite is single-threaded.
stage_tsan() {
  build tsan && tests tsan
}

# Every GoogleTest binary that CTest runs in host64, each run once with all of
# its cases under memcheck, two at a time.
stage_valgrind() {
  local dir="$BUILD/host64" list="$LOGS/valgrind-binaries.txt"
  [ -f "$dir/CTestTestfile.cmake" ] || build host64 || return 1
  mkdir -p "$LOGS/valgrind"
  ctest --test-dir "$dir" --show-only=json-v1 | python3 -c '
import json, sys
seen = {}
for test in json.load(sys.stdin)["tests"]:
    command = test.get("command", [])
    if any(arg.startswith("--gtest_filter") for arg in command):
        cwd = [p["value"] for p in test.get("properties", []) if p["name"] == "WORKING_DIRECTORY"]
        seen.setdefault(command[0], cwd[0] if cwd else ".")
for binary, cwd in seen.items():
    print(binary + "\t" + cwd)' >"$list" || return 1
  [ -s "$list" ] || { echo "valgrind: no GoogleTest binary found"; return 1; }

  local binary cwd status=0
  rm -f "$LOGS"/valgrind/*
  run_one() {
    local name log start=$SECONDS
    name=$(basename "$1") log="$LOGS/valgrind/$name.log"
    # Not the kernel tests: under valgrind they would see what valgrind does
    # in the kernel's stead (the descriptor table, the signals).
    if (cd "$2" && GTEST_FILTER='-*KernelTest.*' valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
          --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
          --child-silent-after-fork=yes --num-callers=30 "$1") >"$log" 2>&1; then
      echo "valgrind: PASS $name ($((SECONDS - start)) s)"
    else
      echo "valgrind: FAIL $name ($((SECONDS - start)) s), log $log:"
      grep -E '^==[0-9]+==|FAILED|Failure' "$log" | tail -n 60
      touch "$log.failed"
    fi
  }
  while IFS=$'\t' read -r binary cwd; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do sleep 1; done
    run_one "$binary" "$cwd" &
  done <"$list"
  wait
  compgen -G "$LOGS/valgrind/*.failed" >/dev/null && status=1
  local verdict="no error, no leak"
  [ $status -eq 0 ] || verdict="errors or leaks, see above"
  summary+=("      valgrind: $(wc -l <"$list") GoogleTest binaries: $verdict")
  return $status
}

stage_fuzz() {
  if [ ! -f "$ROOT/fuzz/CMakeLists.txt" ]; then
    echo "no fuzz/CMakeLists.txt: nothing to fuzz"
    return 0
  fi
  build fuzz && tests fuzz
}

stage_binary() {
  local status=0 name
  for name in host64 x86 x86-clang; do
    if [ ! -f "$BUILD/$name/CTestTestfile.cmake" ]; then
      build "$name" || { status=1; continue; }
    fi
    # The checks presets are verbose, so that the log keeps what memcheck
    # said about the S-boxes. Where the 32-bit JVM runs in the VM, stages b
    # and c ran there the memcheck checks too.
    if [ "$name" != host64 ] && [ -n "$X86_VM" ]; then
      tests "$name-checks-no-memcheck" || status=1
    else
      tests "$name-checks" || status=1
    fi
  done
  # With link-time optimisation the optimiser sees the shares and the XOR in
  # one unit, and may inline the cipher into any caller: the key must still
  # not be folded into the library, the loader must still take it, and a
  # decryption must still leave no key material on the stack. The checks run
  # in the interpreter CMake found with pyelftools, which need not be the
  # python3 first on the PATH.
  local python
  for name in lto lto-x86; do
    if build "$name" && tests "$name" &&
      python=$(sed -n 's/^ROOTCHECKER_PYTHON:FILEPATH=//p' "$BUILD/$name/CMakeCache.txt") &&
      [ -n "$python" ] &&
      "$python" "$ROOT/tests/binary/check_key_material.py" \
        --lib "$BUILD/$name/librootchecker.so" --key-file "$BUILD/$name/app_key.hex" --objdump objdump &&
      "$python" "$ROOT/tests/binary/check_android_loader.py" --lib "$BUILD/$name/librootchecker.so"; then
      summary+=("      checks-$name: clang -flto: no key material in the library or on the stack; the Android loader's rules hold")
    else
      summary+=("      checks-$name: clang -flto: FAILED")
      status=1
    fi
  done
  return $status
}

# ARM, cross-compiled with clang and lld. The C++ tests, the seal tool's and
# the checks run under qemu-user (the presets ARCH-qemu); the JVM, memcheck
# and page-size tests (ARCH-guest) boot an arm64 kernel in scripts/vm.sh and
# run there natively, as the ABI runs on a device: arm64 on 16 KB pages, the
# 32-bit ARM process on a 4 KiB arm64 kernel (Debian's armhf libraries are
# aligned to 4 KiB only). memcheck there also runs the GoogleTest binaries
# that exercise the library's code (--memcheck); the seal tool's and the
# concurrency test's are left to stage f, whose memcheck runs them natively on
# the same code: under emulation they would add minutes, not coverage. For
# the same reason the stress and leak runs make a quarter of their calls
# there (80,000: the leak check scales its bound with them).
GUEST_STRESS_ITERATIONS=2500

# guest_tests NAME GUEST PAGE_SIZE [--local DIR | --memcheck BINARY]...: the
# NAME-guest preset in GUEST, which must report PAGE_SIZE.
guest_tests() {
  local name=$1 guest=$2 page=$3; shift 3
  local log="$LOGS/$name-guest.log"
  local -x ROOTCHECKER_STRESS_ITERATIONS=${ROOTCHECKER_STRESS_ITERATIONS:-$GUEST_STRESS_ITERATIONS}
  python3 "$ROOT/scripts/guest-tests.py" --build "$BUILD/$name" --guest "$guest" \
    "$@" -- --preset "$name-guest" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]} verdict reported
  verdict=$(grep -E 'tests passed|No tests were found' "$log" | tail -n 1)
  reported=$(tr -d '\r' <"$log" | sed -n 's/^guest page size: //p' | head -n 1)
  if [ "$reported" != "$page" ]; then
    echo "FAIL: the $guest guest reported page size ${reported:-none}, not $page"
    status=1
  fi
  summary+=("      $name-guest: ${verdict:-no verdict, exit status $status} (in the $guest guest, page size ${reported:-unknown}; stress runs of $ROOTCHECKER_STRESS_ITERATIONS iterations)")
  summary+=("        passed there: $(sed -n 's/^Passed  \([^ ]*\) .*/\1/p' "$log" | tr '\n' ' ')")
  return "$status"
}

# The GoogleTest binaries that exercise the library's code, for memcheck in
# the ARM guests.
ARM_MEMCHECK=(cipher_tests password_core_test wycheproof_cbc_test probe_path_test
  jni_glue_test jni_allocation_test stack_residue_test)

stage_arm64() {
  build arm64 || return 1
  local status=0 b memcheck=()
  for b in "${ARM_MEMCHECK[@]}"; do memcheck+=(--memcheck "$b"); done
  WHERE=qemu-aarch64 tests arm64 || status=1
  guest_tests arm64 arm64-16k 16384 "${memcheck[@]}" || status=1
  return $status
}

# Over 9p a 32-bit readdir fails on the host's 64-bit directory cookies: the
# armhf JVM's tree and its configuration live in guest memory. valgrind
# (3.19, and 3.24 too) mistranslates clang's Thumb-2 Neon code of the cipher
# when it translates many instructions as one block: under it, even without
# memcheck, a FIPS-197 block decrypts wrong (natively and under qemu-arm
# right). One instruction a block translates it right, so every valgrind run
# in this guest (memcheck and the constant-time checks) takes that option;
# cipher_tests under memcheck is what shows that the cipher still computes
# right there. Its one false report is suppressed (the file says why).
stage_armv7() {
  build armv7 || return 1
  local status=0 b memcheck=()
  for b in "${ARM_MEMCHECK[@]}"; do memcheck+=(--memcheck "$b"); done
  WHERE=qemu-arm tests armv7 || status=1
  VALGRIND_OPTS="--vex-guest-max-insns=1 --suppressions=$ROOT/tests/valgrind/one-instruction-blocks.supp ${VALGRIND_OPTS:-}" \
    guest_tests armv7 arm64-4k 4096 --local /usr/lib/jvm/java-17-openjdk-armhf \
    --local /etc/java-17-openjdk "${memcheck[@]}" || status=1
  return $status
}

# The library built as the NDK builds it, for every ABI, on a machine without
# an NDK (cmake/android-standin.toolchain.cmake says how close that is): the
# Android target, the NDK's flags, no C++ library headers, lld against stub
# bionic libraries. Then the loader check in its Android mode, the library
# checks and the key scan; and the controls, each of which must fail for its
# own reason: a C++ library header, an import off the list, an Android
# configure without a key.
PYTHON=/usr/bin/python3
# expect_failure WHAT REASON COMMAND...: COMMAND must fail, saying REASON.
expect_failure() {
  local what=$1 reason=$2 out; shift 2
  if out=$("$@" 2>&1); then
    echo "control: $what was accepted"
    return 1
  fi
  # CMake wraps its messages: compare with the lines joined.
  if ! tr -s ' \n' '  ' <<<"$out" | grep -qF -- "$reason"; then
    echo "control: $what failed, but not with \"$reason\":"
    tail -n 20 <<<"$out"
    return 1
  fi
  echo "control: $what fails: $reason"
}
# standin_build ABI API STL TYPE [SYSROOT]: the stand-in library as an app's
# module would build it, in its own folder (echoed); with SYSROOT, the
# stand-in sysroot another build made for the same ABI and level.
standin_build() {
  local abi=$1 api=$2 stl=$3 type=$4 sysroot=()
  local dir="$BUILD/android-standin-$abi-$api-$stl-$type"
  [ -z "${5:-}" ] || sysroot=(-DROOTCHECKER_STANDIN_SYSROOT="$5")
  echo "$dir"
  { cmake --preset "android-standin-$abi" -B "$dir" --fresh -DROOTCHECKER_KEY_FILE="$key" \
      -DANDROID_PLATFORM="$api" -DANDROID_STL="$stl" -DCMAKE_BUILD_TYPE="$type" "${sysroot[@]}" &&
    cmake --build "$dir" -j "$JOBS"; } >"$dir.log" 2>&1 || { cat "$dir.log" >&2; return 1; }
}

# standin_checks DIR TYPE SYSROOT: the checks on the built library: the
# loader's, the hardening, the key scan, and none of the C++ runtime inside.
standin_checks() {
  local dir=$1 type=$2 lib="$1/librootchecker.so" runtime
  runtime=$(echo "$3"/usr/lib/*-android*)
  "$PYTHON" "$ROOT/tests/binary/check_android_loader.py" --android --lib "$lib" &&
    "$PYTHON" "$ROOT/tests/binary/check_library.py" --lib "$lib" \
      --compile-commands "$dir/compile_commands.json" --build-type "$type" &&
    "$PYTHON" "$ROOT/tests/binary/check_key_material.py" --lib "$lib" \
      --key-file "$dir/app_key.hex" --objdump llvm-objdump &&
    "$PYTHON" "$ROOT/tests/android/check_no_cxx_runtime.py" --lib "$lib" \
      --archive "$runtime/libc++_static.a" --archive "$runtime/libc++abi.a" \
      --archive "$runtime/libunwind.a"
}

needed_of() { readelf -dW "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd, -; }

stage_android() {
  local key="$BUILD/android-app.key" abi dir status=0 out api stl type build sysroot
  [ -s "$key" ] || od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$key"
  # Each ABI at API 21 and 26, with the module's C++ runtime chosen so that
  # each ABI and each level meets both; the fixture app's builds cover the
  # whole matrix.
  for build in "x86 21 c++_shared" "x86 26 c++_static" \
      "x86_64 21 c++_static" "x86_64 26 c++_shared" \
      "armeabi-v7a 21 c++_shared" "armeabi-v7a 26 c++_static" \
      "arm64-v8a 21 c++_static" "arm64-v8a 26 c++_shared"; do
    read -r abi api stl <<<"$build"
  if dir=$(standin_build "$abi" "$api" "$stl" Release) &&
      standin_checks "$dir" Release "$dir/android-standin-sysroot" &&
      expect_failure "$abi/$api/$stl: a C++ library header" "'cstring' file not found" \
        cmake --build "$dir" --target android_control_cxx_header &&
      expect_failure "$abi/$api/$stl: an import off the list" "undefined symbol: getenv" \
        cmake --build "$dir" --target android_control_import &&
      if [ "$api" -lt 23 ]; then
        expect_failure "$abi/$api: __register_atfork below API 23" "undefined symbol: __register_atfork" \
          cmake --build "$dir" --target android_control_atfork
      else
        # The same library, held to API 21: what shipping it to an older
        # minSdk would be.
        "$PYTHON" "$ROOT/tests/binary/check_android_loader.py" --android --api 21 \
          --expect-fail imports --lib "$dir/librootchecker.so"
      fi &&
      if [ "$stl" = c++_shared ]; then
        cmake --build "$dir" --target android_control_cxx_shared >/dev/null &&
          "$PYTHON" "$ROOT/tests/binary/check_android_loader.py" --android --expect-fail needed \
            --lib "$dir/tests/android/android_control_cxx_shared/librootchecker.so"
      else
        cmake --build "$dir" --target android_control_cxx_static >/dev/null &&
          "$PYTHON" "$ROOT/tests/android/check_no_cxx_runtime.py" --expect-fail \
            --lib "$dir/tests/android/android_control_cxx_static/librootchecker.so" \
            --archive "$(echo "$dir"/android-standin-sysroot/usr/lib/*-android*)/libc++_static.a" \
            --archive "$(echo "$dir"/android-standin-sysroot/usr/lib/*-android*)/libc++abi.a"
      fi; then
      summary+=("      android-standin $abi API $api $stl: checked (NEEDED $(needed_of "$dir/librootchecker.so")); the controls fail")
    else
      summary+=("      android-standin $abi API $api $stl: FAILED")
      status=1
    fi
  done
  # What Gradle ships and runs: the debug variant built Debug, the release
  # one RelWithDebInfo, as the API-21 builds above (and with their sysroot).
  for build in "x86 21 c++_shared" "x86_64 21 c++_static" \
      "armeabi-v7a 21 c++_shared" "arm64-v8a 21 c++_static"; do
    read -r abi api stl <<<"$build"
    for type in Debug RelWithDebInfo; do
      sysroot="$BUILD/android-standin-$abi-$api-$stl-Release/android-standin-sysroot"
      if dir=$(standin_build "$abi" "$api" "$stl" "$type" "$sysroot") &&
        standin_checks "$dir" "$type" "$sysroot"; then
        summary+=("      android-standin $abi API $api $stl $type: checked (NEEDED $(needed_of "$dir/librootchecker.so"))")
      else
        summary+=("      android-standin $abi API $api $stl $type: FAILED")
        status=1
      fi
    done
  done
  local control="$BUILD/android-key-control"
  rm -rf "$control"
  if expect_failure "an Android configure without a key" "No ROOTCHECKER_KEY or ROOTCHECKER_KEY_FILE given for an Android build" \
      cmake --preset android-standin-x86 -B "$control" &&
    out=$(cmake --preset android-standin-x86 -B "$control" -DROOTCHECKER_ALLOW_DEVELOPMENT_KEY=ON 2>&1) &&
    tr -s ' \n' '  ' <<<"$out" | grep -qF "building with the public development key"; then
    summary+=("      android key: a configure without one stops; with ROOTCHECKER_ALLOW_DEVELOPMENT_KEY=ON it warns and goes on")
  else
    summary+=("      android key: FAILED")
    status=1
  fi
  # The NDK presets: without an NDK, configure stops with its message and
  # leaves nothing that trips the next try; with one (here a fake NDK whose
  # toolchain file is the stand-in), the same folder configures and builds.
  local ndk="$BUILD/fake-ndk" preset_dir="$BUILD/android-x86"
  rm -rf "$preset_dir" "$ndk"
  mkdir -p "$ndk/build/cmake"
  echo "include(\"$ROOT/cmake/android-standin.toolchain.cmake\")" >"$ndk/build/cmake/android.toolchain.cmake"
  if expect_failure "the NDK presets without an NDK" "Neither ANDROID_NDK_HOME nor ANDROID_NDK_ROOT is set" \
      env -u ANDROID_NDK_HOME -u ANDROID_NDK_ROOT cmake --preset android-x86 -DROOTCHECKER_KEY_FILE="$key" &&
    env -u ANDROID_NDK_HOME ANDROID_NDK_ROOT="$ndk" cmake --preset android-x86 -DROOTCHECKER_KEY_FILE="$key" >/dev/null &&
    cmake --build --preset android-x86 >/dev/null &&
    [ -f "$preset_dir/librootchecker.so" ]; then
    summary+=("      android-x86 preset: without an NDK it stops; then, through ANDROID_NDK_ROOT, it builds in the same folder")
  else
    summary+=("      android-x86 preset: FAILED")
    status=1
  fi
  rm -rf "$preset_dir" "$ndk"
  return $status
}

# The library as a guest in an app's own native module (tests/app: C++ code
# of its own beside add_subdirectory of this repository).
#
# check_host_app DIR: the app's build type, flags and cache stay the app's.
check_host_app() {
  local dir=$1 status=0 app_line lib_line
  app_line=$("$PYTHON" -c 'import json, sys
print(next(e["command"] for e in json.load(open(sys.argv[1])) if e["file"].endswith("fixture_app.cpp")))' \
    "$dir/compile_commands.json") || return 1
  lib_line=$("$PYTHON" -c 'import json, sys
print(next(e["command"] for e in json.load(open(sys.argv[1])) if e["file"].endswith("cipher/aes.cpp")))' \
    "$dir/compile_commands.json") || return 1
  echo "app's compile line:     $app_line"
  echo "library's compile line: $lib_line"
  local flag
  for flag in -O3 -DNDEBUG -Wshadow -Wconversion; do
    if grep -qw -- "$flag" <<<"$app_line"; then
      echo "app: the app's code compiles with $flag, which the library set"
      status=1
    fi
  done
  if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=' "$dir/CMakeCache.txt"; then
    echo "app: the cache holds a build type the app did not give: $(grep '^CMAKE_BUILD_TYPE:' "$dir/CMakeCache.txt")"
    status=1
  fi
  if grep -E '^ANDROID_' "$dir/CMakeCache.txt"; then
    echo "app: the library put Android settings (above) into a host build's cache"
    status=1
  fi
  if grep -E '^[A-Za-z_]+:(BOOL|STRING|FILEPATH|PATH)=' "$dir/CMakeCache.txt" |
    grep -vE '^(CMAKE_|ROOTCHECKER_|FIXTUREAPP_|JAVA_|JNI_|fixtureapp_)'; then
    echo "app: cache entries (above) without the library's prefix"
    status=1
  fi
  if [ -n "$(find "$dir" -name '*.a')" ]; then
    echo "app: more was built than librootchecker.so: $(find "$dir" -name '*.a' | paste -sd' ' -)"
    status=1
  fi
  return $status
}

# app_host DIR LIBRARY_SOURCE: the fixture on the host toolchain, no build
# type given (not even through CMake's environment variable).
app_host() {
  local dir=$1 source=$2
  rm -rf "$dir"
  env -u CMAKE_BUILD_TYPE cmake -S "$ROOT/tests/app" -B "$dir" -G Ninja \
    -DFIXTUREAPP_ROOTCHECKER_DIR="$source" >"$dir.configure.log" 2>&1 &&
    cmake --build "$dir" -j "$JOBS" >"$dir.build.log" 2>&1 ||
    { cat "$dir.configure.log" "$dir.build.log" 2>/dev/null | tail -n 40; return 1; }
}

# The fixture with the stand-in at one API level, C++ runtime and ABI, built
# as Gradle builds a release variant (RelWithDebInfo). The loader check and
# the key scan on the library it made, and the app's own library NEEDs the
# runtime it asked for (libc++_shared.so for c++_shared; none for c++_static).
APP_TABLE=()
app_standin() {
  local api=$1 stl=$2 abi=$3 key=$4
  local dir="$BUILD/app-$abi-$api-$stl"
  rm -rf "$dir"
  if ! { env -u CMAKE_BUILD_TYPE cmake -S "$ROOT/tests/app" -B "$dir" -G Ninja \
           -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/android-standin.toolchain.cmake" \
           -DANDROID_ABI="$abi" -DANDROID_PLATFORM="android-$api" -DANDROID_STL="$stl" \
           -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROOTCHECKER_KEY_FILE="$key" &&
         cmake --build "$dir" -j "$JOBS"; } >"$dir.log" 2>&1; then
    tail -n 30 "$dir.log"
    APP_TABLE+=("$(printf '%-12s %-4s %-11s %s' "$abi" "$api" "$stl" "BUILD FAILED, see $dir.log")")
    return 1
  fi
  local lib="$dir/librootchecker/librootchecker.so" app="$dir/libfixtureapp.so" status=0
  local lib_needed app_needed verdict=ok
  lib_needed=$(needed_of "$lib")
  app_needed=$(needed_of "$app")
  if ! "$PYTHON" "$ROOT/tests/binary/check_android_loader.py" --android --lib "$lib" >"$dir.loader.log" 2>&1; then
    cat "$dir.loader.log"
    verdict="loader check FAILED"
    status=1
  fi
  if ! "$PYTHON" "$ROOT/tests/binary/check_key_material.py" --lib "$lib" \
      --key-file "$dir/librootchecker/app_key.hex" --objdump llvm-objdump >"$dir.key.log" 2>&1; then
    cat "$dir.key.log"
    verdict="key scan FAILED"
    status=1
  fi
  case "$stl,$app_needed" in
    c++_shared,*libc++_shared.so*) ;;
    c++_static,*libc++*) verdict="app NEEDs a C++ runtime under c++_static"; status=1 ;;
    c++_static,*) ;;
    *) verdict="app does not NEED libc++_shared.so"; status=1 ;;
  esac
  APP_TABLE+=("$(printf '%-12s %-4s %-11s %-26s %-40s %s' "$abi" "$api" "$stl" "$lib_needed" "$app_needed" "$verdict")")
  return $status
}

stage_app() {
  local status=0 dir="$BUILD/app-host" api stl abi
  local key="$BUILD/app-app.key"
  [ -s "$key" ] || od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$key"
  # On the host: the app's flags and cache, then the library it made.
  if app_host "$dir" "$ROOT" && check_host_app "$dir" &&
    "$PYTHON" "$ROOT/tests/binary/check_library.py" --lib "$dir/librootchecker/librootchecker.so" \
      --compile-commands "$dir/compile_commands.json" --build-type "" &&
    "$PYTHON" "$ROOT/tests/binary/check_key_material.py" --lib "$dir/librootchecker/librootchecker.so" \
      --key-file "$dir/librootchecker/app_key.hex" --objdump objdump; then
    summary+=("      app-host: no build type: the app's code without -O3 -DNDEBUG or the library's warnings, no build type or ANDROID_* in its cache, nothing built but librootchecker.so; the library checked")
  else
    summary+=("      app-host: FAILED")
    status=1
  fi
  # The control: a library that forces its build type into the app's cache
  # (as this one did) fails the same checks.
  local bad="$BUILD/app-bad-guest-source"
  rm -rf "$bad" && mkdir -p "$bad" &&
    cp -r "$ROOT/CMakeLists.txt" "$ROOT/cmake" "$ROOT/cipher" "$ROOT/native" "$bad/" &&
    sed -i 's/if(PROJECT_IS_TOP_LEVEL AND NOT CMAKE_BUILD_TYPE/if(NOT CMAKE_BUILD_TYPE/' "$bad/CMakeLists.txt"
  if ! grep -q '^if(NOT CMAKE_BUILD_TYPE AND' "$bad/CMakeLists.txt"; then
    summary+=("      app-host control: could not make the faulty library")
    status=1
  elif app_host "$BUILD/app-bad-guest" "$bad" && ! check_host_app "$BUILD/app-bad-guest" >"$BUILD/app-bad-guest.check.log"; then
    grep '^app:' "$BUILD/app-bad-guest.check.log"
    summary+=("      app-host control: a library that forces Release into the app's cache fails the checks")
  else
    summary+=("      app-host control: FAILED (a library that forces its build type passed)")
    status=1
  fi
  rm -rf "$bad" "$BUILD/app-bad-guest"

  # With the stand-in: the app's minSdk and C++ runtime for the whole module.
  APP_TABLE=()
  for api in 21 26; do
    for stl in c++_shared c++_static; do
      for abi in x86 x86_64 armeabi-v7a arm64-v8a; do
        app_standin "$api" "$stl" "$abi" "$key" || status=1
      done
    done
  done
  echo "NEEDED lists of the fixture's stand-in builds:"
  printf '%-12s %-4s %-11s %-26s %-40s %s\n' ABI API STL librootchecker.so libfixtureapp.so verdict
  printf '%s\n' "${APP_TABLE[@]}"
  summary+=("      app-standin: ${#APP_TABLE[@]} builds (API 21, 26 x c++_shared, c++_static x 4 ABIs):")
  local row
  for row in "${APP_TABLE[@]}"; do summary+=("        $row"); done

  # The tools without the tests' packages.
  if bash "$ROOT/tests/tools-only.sh" "$ROOT" "$BUILD/tools-only"; then
    summary+=("      tools-only: rootchecker-seal and the jar without GoogleTest, nlohmann-json, Benchmark, pyelftools or JUnit, and with a linker that refuses the GNU options; seal and verify work")
  else
    summary+=("      tools-only: FAILED")
    status=1
  fi

  # What Gradle builds: the debug and release variants' build types. The
  # stack and vector-register tests and the key scan (test presets
  # host64-debug, host64-relwithdebinfo).
  local type
  for type in debug relwithdebinfo; do
    build "host64-$type" && tests "host64-$type" || status=1
  done
  return $status
}

# Every C++ source in the checked-in .clang-format style.
stage_format() {
  local files
  mapfile -t files < <(git -C "$ROOT" ls-files '*.cpp' '*.h')
  (cd "$ROOT" && clang-format --dry-run -Werror "${files[@]}") &&
    summary+=("      format: ${#files[@]} files in .clang-format style")
}

# stage LETTER NAME FUNCTION
stage() {
  local letter=$1 name=$2 fn=$3 start=$SECONDS verdict
  if [ -n "${ROOTCHECKER_STAGES:-}" ] && [[ " $ROOTCHECKER_STAGES " != *" $letter "* ]]; then
    return
  fi
  echo
  echo "=================== stage $letter: $name"
  local before=${#summary[@]}
  if "$fn"; then verdict=PASS; else verdict=FAIL; failed+=("$letter $name"); fi
  local took=$((SECONDS - start))
  echo "=================== stage $letter: $name: $verdict in $((took / 60))m$((took % 60))s"
  summary=("${summary[@]:0:$before}"
           "$(printf '%s  %s %-10s %3dm%02ds' "$verdict" "$letter" "$name" $((took / 60)) $((took % 60)))"
           "${summary[@]:$before}")
}

start=$SECONDS
stage a host64 stage_host64
stage b x86 stage_x86
stage c x86-clang stage_x86_clang
stage d asan stage_asan
stage e tsan stage_tsan
stage f valgrind stage_valgrind
stage g fuzz stage_fuzz
stage h binary stage_binary
stage i format stage_format
stage j arm64 stage_arm64
stage k armv7 stage_armv7
stage l android stage_android
stage m app stage_app
total=$((SECONDS - start))

echo
echo "=================== summary ($((total / 60))m$((total % 60))s in all; logs in $LOGS)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED stages: ${failed[*]}"
  exit 1
fi
echo "All stages passed."
