#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, where it is missing.
# Safe to run again: it installs nothing that is already there.
#   bash scripts/setup.sh          # everything scripts/test.sh needs
#   bash scripts/setup.sh --host   # only the host64 build (scripts/demo.sh)
set -euo pipefail

# The host64 preset: the library, its tests and tools, the JVM and the jars.
host_packages=(
  cmake ninja-build g++ libgtest-dev libssl-dev nlohmann-json3-dev
  python3-pyelftools llvm openjdk-17-jdk-headless junit5
)

packages=(
  cmake ninja-build g++ g++-multilib clang lld libclang-rt-14-dev clang-format
  # llvm-objcopy and llvm-objdump (clang only recommends them).
  llvm
  # Android's jni.h, for the stand-in Android build; libc++'s headers for an
  # app module's own C++ code there (ANDROID_STL c++_shared or c++_static).
  android-libnativehelper-dev libc++-14-dev libc++abi-14-dev
  googletest libgtest-dev libbenchmark-dev libbenchmark-dev:i386 libssl-dev libssl-dev:i386
  openjdk-17-jdk-headless openjdk-17-jre-headless:i386 junit5 proguard-cli
  valgrind libc6-dbg:i386 gnuplot-nox nlohmann-json3-dev python3-pyelftools
  # ARM: clang and lld cross-compile against the multiarch libraries,
  # qemu-user runs the tests and the target's own JVM (and 32-bit x86 where
  # the kernel cannot, below).
  qemu-user
  # Where the kernel cannot run 32-bit x86: a VM with Debian's kernel runs the
  # 32-bit JVM and memcheck (scripts/vm.sh).
  qemu-system-x86 busybox-static
  # ARM guests (scripts/vm.sh): their valgrind reads the C library's symbols.
  qemu-system-arm libc6-dbg:arm64 libc6-dbg:armhf
  libc6-dev:arm64 libgcc-12-dev:arm64 libstdc++-12-dev:arm64 libssl-dev:arm64
  libgtest-dev:arm64 openjdk-17-jre-headless:arm64
  libc6-dev:armhf libgcc-12-dev:armhf libstdc++-12-dev:armhf libssl-dev:armhf
  openjdk-17-jre-headless:armhf
)

host_only=
if [ "${1:-}" = --host ]; then
  host_only=1 packages=("${host_packages[@]}")
else
  packages+=("${host_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}" >&2
    echo "setup: run as root, or install them with apt-get" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  for arch in i386 arm64 armhf; do
    [ -z "$host_only" ] || break
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      dpkg --add-architecture "$arch"
    fi
  done
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The stand-in Android build makes its stub libc++_shared.so,
# libc++_static.a and libunwind.a from the names Debian's libc++ 14 and its
# unwinder export on each ABI's machine. Its packages for other architectures cannot be installed beside
# the amd64 ones (all put their files in /usr/lib/llvm-14/lib), so they are
# unpacked into a folder of their own, at the version installed for amd64.
LIBCXX_DIR=/usr/local/lib/rootchecker-libcxx-14
for arch in i386 arm64 armhf; do
  [ -z "$host_only" ] || break
  lib="$LIBCXX_DIR/$arch/usr/lib/llvm-14/lib"
  [ -f "$lib/libc++.so.1" ] && [ -f "$lib/libc++abi.so.1" ] && [ -f "$lib/libunwind.so.1" ] && continue
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: no libc++ 14 for $arch in $LIBCXX_DIR: run as root" >&2
    exit 1
  fi
  version=$(dpkg-query -W -f='${Version}' libc++1-14)
  tmp=$(mktemp -d)
  # apt's download user writes into it.
  chown _apt "$tmp" 2>/dev/null || true
  (cd "$tmp" && apt-get download -q "libc++1-14:$arch=$version" \
    "libc++abi1-14:$arch=$version" "libunwind-14:$arch=$version")
  mkdir -p "$LIBCXX_DIR/$arch"
  for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$LIBCXX_DIR/$arch"; done
  rm -rf "$tmp"
done

# Some x86_64 kernels cannot run 32-bit x86 programs (a VM without the
# 32-bit compat mode says "Exec format error"). There the kernel is told to
# hand them to qemu-i386, so that the 32-bit C++ tests still run, emulated.
i386_runs() {
  local probe
  probe=$(mktemp) || return 1
  echo 'int main(void) { return 0; }' | gcc -m32 -x c - -o "$probe" 2>/dev/null &&
    "$probe" 2>/dev/null
  local status=$?
  rm -f "$probe"
  return $status
}
if [ -z "$host_only" ] && [ "$(uname -m)" = x86_64 ] && ! i386_runs; then
  binfmt=/proc/sys/fs/binfmt_misc
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: this kernel cannot run 32-bit x86 programs; as root, setup registers qemu-i386 for them" >&2
    exit 1
  fi
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/rootchecker-i386" ]; then
    # ELF, 32-bit, little-endian, an executable or shared object, EM_386. F:
    # the kernel opens qemu-i386 now, so that it serves every namespace.
    printf '%s' ':rootchecker-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      >"$binfmt/register"
  fi
  echo 1 >"$binfmt/rootchecker-i386"
  i386_runs || { echo "setup: 32-bit x86 programs do not run, even under qemu-i386" >&2; exit 1; }
  echo "setup: this kernel cannot run 32-bit x86 programs: they run under qemu-i386 (binfmt_misc)"
fi
