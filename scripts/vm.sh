#!/usr/bin/env bash
# Runs one command in a small virtual machine with one of Debian's own
# kernels, under software emulation (TCG):
#   x86-64     for machines whose kernel refuses 32-bit x86 programs: there
#              the 32-bit JVM and 32-bit valgrind run natively, which they
#              cannot under qemu-user;
#   arm64-16k  arm64 with 16 KB pages, as arm64 devices now ship: the loader
#              maps the library as such a device would;
#   arm64-4k   arm64 with 4 KiB pages, for 32-bit ARM processes (Debian's
#              armhf libraries are aligned to 4 KiB only, and a 16 KB kernel
#              refuses them): how most armeabi-v7a code runs today.
#
#   bash scripts/vm.sh [--guest NAME] [--timeout SECONDS] [--local DIR]... [--] COMMAND [ARG]...
#
# The guest sees this machine's root and the source tree read-only and the
# build tree read-write, all at their own paths, and runs COMMAND as root in
# the current directory with the caller's environment. Its output comes back
# on standard output, its exit status is this script's. /tmp is the guest's
# own tmpfs, and each --local DIR is copied into guest memory and mounted over
# itself: over 9p a 32-bit readdir fails with EOVERFLOW on the host's 64-bit
# directory cookies, and 9p cannot hold a FIFO. --timeout (default 1800 s) is
# a hard limit on the whole run, boot included; exit status 124 says it ran
# out, 125 that the VM could not run the command. ROOTCHECKER_VM_KEEP=1 keeps
# the run's folder (the kernel's console log among it) in $BUILD/vm/runs.
#
# In an ARM guest the host's own programs are x86 and cannot run, so a static
# bash and busybox stand in for the shells and the usual tools (sh, bash, env
# and everything on the PATH that busybox has), java on the PATH is the
# machine's own, qemu-aarch64 and qemu-arm become plain exec (the cross
# builds' wrappers run the target's programs through them), and valgrind is
# the guest's own (VALGRIND_LIB set).
#
# scripts/setup.sh installs qemu-system-x86, qemu-system-arm, busybox-static
# and libc6-dbg for arm64 and armhf; the kernel, and for the ARM guests an
# arm64 busybox, bash-static and the guest's valgrind, are fetched once with apt-get into
# $BUILD/vm/<guest>.
set -uo pipefail
source "$(dirname "$0")/env.sh"

die() { echo "vm: $*" >&2; exit 125; }

guest=x86-64
limit=1800
locals=()
while [ $# -gt 0 ]; do
  case $1 in
    --guest) guest=${2:-}; shift 2 ;;
    --timeout) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || die "--timeout takes a number of seconds"
      limit=$2; shift 2 ;;
    --local) [ -d "${2:-}" ] || die "--local: '${2:-}' is not a directory"
      locals+=("$(realpath "$2")"); shift 2 ;;
    --) shift; break ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || die "usage: vm.sh [--guest x86-64|arm64-16k|arm64-4k] [--timeout SECONDS] [--local DIR]... [--] COMMAND [ARG]..."

# The guests. kernel_meta: a package whose first linux-image-* dependency is
# the kernel; kernel_regex: else the highest version of the names it matches
# (the plain flavour: not -rt, not -cloud). modules:
# what 9p needs beyond what the kernel has built in. out_tty and out_device:
# where the command's output goes (a second serial port, a virtio console).
# valgrind: the guest's own, fetched (the x86 guest runs the host's).
case $guest in
  x86-64)
    qemu=qemu-system-x86_64 qemu_package=qemu-system-x86 arch=amd64
    kernel_meta=linux-image-amd64 kernel_regex=
    # One thread: with multi-threaded TCG the 32-bit JVM's C1 code died with
    # SIGILL. Two virtual CPUs keep the JVM's view of the host.
    machine=(-machine q35 -accel tcg,thread=single -cpu max)
    console=ttyS0 out_tty=/dev/ttyS1 out_device=(-serial chardev:out)
    modules=(9p 9pnet_virtio virtio_pci virtio_rng)
    valgrind=
    ;;
  arm64-16k | arm64-4k)
    qemu=qemu-system-aarch64 qemu_package=qemu-system-arm arch=arm64
    kernel_meta=
    if [ "$guest" = arm64-16k ]; then
      kernel_regex='linux-image-[0-9.]+\+deb[0-9]+-arm64-16k-unsigned' valgrind=valgrind:arm64
    else
      kernel_regex='linux-image-[0-9.]+\+deb[0-9]+-arm64-unsigned' valgrind=valgrind:armhf
    fi
    # -cpu max runs both AArch64 and AArch32 code.
    machine=(-machine virt -cpu max)
    console=ttyAMA0 out_tty=/dev/hvc0
    out_device=(-device virtio-serial-pci -device virtconsole,chardev=out)
    modules=(9p 9pnet_virtio virtio_rng)
    ;;
  *) die "unknown guest '$guest': x86-64, arm64-16k or arm64-4k" ;;
esac

QEMU=$(command -v "$qemu") || die "$qemu not found: install $qemu_package (scripts/setup.sh)"
# The host's busybox packs the initramfs (and is the x86 guest's).
HOST_BUSYBOX=/bin/busybox
[ -x "$HOST_BUSYBOX" ] && ! ldd "$HOST_BUSYBOX" >/dev/null 2>&1 ||
  die "a static $HOST_BUSYBOX not found: install busybox-static (scripts/setup.sh)"
command -v xz >/dev/null || die "xz not found: install xz-utils"
mkdir -p "$BUILD/vm/$guest" || die "cannot create $BUILD/vm/$guest"
VM="$(cd "$BUILD/vm" && pwd)"
GUEST="$VM/$guest"
WORK="$(cd "$BUILD" && pwd)"
for path in "$ROOT" "$WORK" "$PWD" "${locals[@]}"; do
  case $path in *[[:space:]]*) die "paths with white space are not supported: '$path'" ;; esac
done
# The guest's /tmp and /run are its own: below them it sees only the source
# and build trees.
case $PWD/ in
  "$ROOT"/* | "$WORK"/*) ;;
  /tmp/* | /run/*) die "run it from the source or build tree: the guest has its own $PWD" ;;
esac

# fetch DIR PACKAGE [tar patterns...]: PACKAGE's files (or those matching)
# unpacked into DIR, once.
fetch() {
  local dir=$1 package=$2; shift 2
  [ -f "$dir/.fetched" ] && return 0
  command -v apt-get >/dev/null || die "apt-get not found: cannot fetch $package"
  echo "vm: fetching $package into $dir" >&2
  rm -rf "$dir.tmp" && mkdir -p "$dir.tmp" || die "cannot create $dir.tmp"
  (cd "$dir.tmp" && apt-get download "$package" >/dev/null 2>apt.log) ||
    die "apt-get download $package failed (apt-get update? dpkg --add-architecture $arch?): $(cat "$dir.tmp/apt.log")"
  dpkg-deb --fsys-tarfile "$dir.tmp"/*.deb | tar -x -C "$dir.tmp" --wildcards "$@" ||
    die "cannot unpack $package"
  rm -f "$dir.tmp"/*.deb "$dir.tmp/apt.log" && touch "$dir.tmp/.fetched" &&
    rm -rf "$dir" && mv "$dir.tmp" "$dir" || die "cannot unpack $package"
}

# The kernel and the modules for virtio-9p; only those files are unpacked.
kernel="$GUEST/kernel"
if [ ! -f "$kernel/.fetched" ]; then
  if [ -n "$kernel_meta" ]; then
    package() { apt-cache depends "$kernel_meta" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*$/\1/p' | head -n 1; }
  else
    package() { apt-cache pkgnames linux-image- 2>/dev/null | grep -xE "$kernel_regex" | sort -V | tail -n 1; }
  fi
  name=$(package)
  if [ -z "$name" ]; then
    apt-get update -q >&2 || true
    name=$(package)
  fi
  [ -n "$name" ] || die "no Debian kernel package (${kernel_meta:-$kernel_regex}) found: run apt-get update (and dpkg --add-architecture $arch)"
  fetch "$kernel" "$name:$arch" './boot/vmlinuz-*' './lib/modules/*/kernel/fs/*' \
    './lib/modules/*/kernel/net/9p/*' './lib/modules/*/kernel/drivers/virtio/*' \
    './lib/modules/*/kernel/drivers/char/hw_random/*'
  mv "$kernel"/boot/vmlinuz-* "$kernel/vmlinuz" || die "no vmlinuz in $name"
fi
[ -f "$kernel/vmlinuz" ] || die "$kernel has no vmlinuz: remove $kernel and run again"
if [ "$arch" = amd64 ]; then
  BUSYBOX=$HOST_BUSYBOX
else
  fetch "$GUEST/busybox" "busybox-static:$arch" './bin/busybox'
  BUSYBOX=$GUEST/busybox/bin/busybox
  fetch "$GUEST/bash" "bash-static:$arch" './bin/bash-static'
  fetch "$GUEST/valgrind" "$valgrind" './usr/bin/valgrind.bin' './usr/libexec/valgrind/*'
fi

runs="$VM/runs"
mkdir -p "$runs" && run=$(mktemp -d "$runs/run.XXXXXX") || die "cannot create a run folder in $runs"
[ -n "${ROOTCHECKER_VM_KEEP:-}" ] || trap 'rm -rf "$run"' EXIT

# Modules in dependency order, from each module's own depends= field;
# compressed ones are unpacked.
order=()
add_module() {
  local name=$1 file dep
  [[ " ${order[*]:-} " == *" $name "* ]] && return
  file=$(find "$kernel/lib/modules" \( -name "$name.ko" -o -name "${name//_/-}.ko" \
    -o -name "$name.ko.xz" -o -name "${name//_/-}.ko.xz" \) | head -n 1)
  [ -n "$file" ] || die "module $name not in $kernel"
  case $file in
    *.xz) xz -dc "$file" >"$run/initramfs/modules/$name.ko" || die "cannot unpack $file" ;;
    *) cp "$file" "$run/initramfs/modules/$name.ko" ;;
  esac
  for dep in $(tr '\0' '\n' <"$run/initramfs/modules/$name.ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
    add_module "$dep"
  done
  order+=("$name")
}
mkdir -p "$run/initramfs"/{bin,dev,proc,sys,newroot,local,modules}
for m in "${modules[@]}"; do add_module "$m"; done
cp "$BUSYBOX" "$run/initramfs/bin/busybox"

# What the guest runs: the command, in this directory, with this environment,
# quoted for bash and busybox's sh alike.
quote() { local s=${1//\'/\'\\\'\'}; printf "'%s'" "$s"; }
{
  while IFS= read -r var; do
    case $var in SHLVL | OLDPWD | TERM | _ | BASH_FUNC_*) continue ;; esac
    printf 'export %s=%s\n' "$var" "$(quote "${!var}")"
  done < <(compgen -e)
  if [ "$arch" != amd64 ]; then
    # The guest's own tools come first.
    printf 'export PATH=/run/guest/bin:"$PATH"\n'
  fi
  printf 'cd %s || exit 125\n' "$(quote "$PWD")"
  printf 'exec'; for a in "$@"; do printf ' %s' "$(quote "$a")"; done; printf '\n'
} >"$run/command.sh"

# In an ARM guest: busybox's tools over the host's x86 ones, the emulators as
# plain exec, and the guest's valgrind.
arm_tools=
if [ "$arch" != amd64 ]; then
  arm_tools=$(cat <<EOF
mkdir -p /newroot/run/guest/bin
cp /bin/busybox /newroot/run/guest/busybox
for t in \$(busybox --list); do ln -sf ../busybox /newroot/run/guest/bin/\$t; done
printf '#!/bin/sh\nshift 2\nexec "\$@"\n' >/newroot/run/guest/bin/qemu-as-exec
printf '#!/bin/sh\nexport VALGRIND_LIB=%s\nexec %s "\$@"\n' \
  $GUEST/valgrind/usr/libexec/valgrind $GUEST/valgrind/usr/bin/valgrind.bin >/newroot/run/guest/bin/valgrind
chmod +x /newroot/run/guest/bin/qemu-as-exec /newroot/run/guest/bin/valgrind
# A bind mount follows a symbolic link from the initramfs' root, not the host's.
real() {
  local f=\$1 t
  while [ -L /newroot\$f ]; do
    t=\$(readlink /newroot\$f)
    case \$t in /*) f=\$t ;; *) f=\${f%/*}/\$t ;; esac
  done
  echo \$f
}
rm -f /newroot/run/guest/bin/bash && cp /newroot$GUEST/bash/bin/bash-static /newroot/run/guest/bin/bash
# The machine's own JVM for whatever calls java by name (ProGuard).
ln -sf /usr/lib/jvm/java-17-openjdk-$arch/bin/java /newroot/run/guest/bin/java
for f in sh env bash; do
  mount --bind /newroot/run/guest/bin/\$f /newroot\$(real /usr/bin/\$f) || fail "cannot mount over /usr/bin/\$f"
done
for f in /usr/bin/qemu-aarch64 /usr/bin/qemu-arm; do
  [ -e /newroot\$f ] && mount --bind /newroot/run/guest/bin/qemu-as-exec /newroot\$f
done
[ -e /newroot/usr/bin/valgrind ] && mount --bind /newroot/run/guest/bin/valgrind /newroot/usr/bin/valgrind
shell=/usr/bin/sh
EOF
)
fi

cat >"$run/initramfs/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
fail() { echo "vm guest: \$*"; reboot -f; }
for m in ${order[*]}; do insmod /modules/\$m.ko || fail "insmod \$m failed"; done
p9=trans=virtio,version=9p2000.L,msize=512000
mount -t 9p -o \$p9,ro,cache=loose hostroot /newroot || fail "cannot mount the host root"
for d in ${locals[*]:-}; do
  mkdir -p /local\$d && cp -a /newroot\$d/. /local\$d/ || fail "cannot copy \$d into the guest"
done
mount -t tmpfs -o mode=1777 tmpfs /newroot/tmp
mount -t tmpfs tmpfs /newroot/run
# The source and build trees go over the guest's own /tmp, where a clone may
# well lie; the build tree may lie in the source tree.
mkdir -p /newroot$ROOT && mount -t 9p -o \$p9,ro,cache=loose source /newroot$ROOT ||
  fail "cannot mount $ROOT"
mkdir -p /newroot$WORK && mount -t 9p -o \$p9,cache=mmap work /newroot$WORK ||
  fail "cannot mount $WORK"
for d in ${locals[*]:-}; do
  mkdir -p /newroot\$d && mount --bind /local\$d /newroot\$d || fail "cannot mount \$d"
done
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
mkdir -p /newroot/dev/shm /newroot/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /newroot/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666 devpts /newroot/dev/pts
# What udev or an init system would add: devtmpfs has no /dev/fd or
# /dev/stdout, and programs name their descriptors through them.
ln -sfn /proc/self/fd /newroot/dev/fd
ln -sf /proc/self/fd/0 /newroot/dev/stdin
ln -sf /proc/self/fd/1 /newroot/dev/stdout
ln -sf /proc/self/fd/2 /newroot/dev/stderr
shell=/bin/bash
$arm_tools
# Through a pipe, so that the command does not see a terminal.
stty -F $out_tty raw -echo
set -o pipefail
chroot /newroot \$shell $run/command.sh </dev/null 2>&1 | cat >$out_tty
echo \$? >/newroot$run/status
sync
reboot -f
EOF
chmod +x "$run/initramfs/init"
(cd "$run/initramfs" && find . | "$HOST_BUSYBOX" cpio -o -H newc 2>/dev/null) >"$run/initramfs.cpio" ||
  die "cannot pack the initramfs"

: >"$run/output"
timeout -k 10 "$limit" "$QEMU" -nodefaults -no-user-config -display none -no-reboot \
  "${machine[@]}" -smp 2 -m 4096 \
  -kernel "$kernel/vmlinuz" -initrd "$run/initramfs.cpio" \
  -append "console=$console quiet loglevel=3 panic=-1 rdinit=/init" \
  -serial "file:$run/console.log" \
  -chardev "file,id=out,path=$run/output" "${out_device[@]}" \
  -device virtio-rng-pci \
  -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev "local,id=source,path=$ROOT,security_model=none,readonly=on,multidevs=remap" \
  -device virtio-9p-pci,fsdev=source,mount_tag=source \
  -fsdev "local,id=work,path=$WORK,security_model=none" \
  -device virtio-9p-pci,fsdev=work,mount_tag=work \
  >"$run/qemu.log" 2>&1 &
qemu=$!
tail -n +1 -f --pid="$qemu" "$run/output"
wait "$qemu"
qemu_status=$?

if [ -s "$run/status" ]; then
  exit "$(cat "$run/status")"
fi
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  echo "vm: '$*' did not finish within $limit s" >&2
  exit 124
fi
echo "vm: the guest stopped without an exit status (qemu: $qemu_status)" >&2
cat "$run/qemu.log" >&2
tail -n 30 "$run/console.log" >&2
exit 125
