#!/usr/bin/env bash
# Runs one command in a small x86-64 virtual machine with Debian's own kernel,
# for machines whose kernel refuses 32-bit x86 programs: there the 32-bit JVM
# and 32-bit valgrind run natively, which they cannot under qemu-user.
#
#   bash scripts/vm.sh [--timeout SECONDS] [--local DIR]... [--] COMMAND [ARG]...
#
# The guest sees this machine's root and the source tree read-only and the
# build tree read-write, all at their own paths, and runs COMMAND as root in the current directory
# with the caller's environment. Its output comes back on standard output,
# its exit status is this script's. /tmp is the guest's own tmpfs, and each
# --local DIR is copied into guest memory and mounted over itself: over 9p a
# 32-bit readdir fails with EOVERFLOW on the host's 64-bit directory cookies,
# and 9p cannot hold a FIFO. --timeout (default 1800 s) is a hard limit on
# the whole run, boot included; exit status 124 says it ran out, 125 that the
# VM could not run the command. ROOTCHECKER_VM_KEEP=1 keeps the run's folder
# (the kernel's console log among it) in $BUILD/vm/runs.
#
# scripts/setup.sh installs qemu-system-x86 and busybox-static; the kernel
# package is fetched once with apt-get into $BUILD/vm/kernel.
set -uo pipefail
source "$(dirname "$0")/env.sh"

die() { echo "vm: $*" >&2; exit 125; }

limit=1800
locals=()
while [ $# -gt 0 ]; do
  case $1 in
    --timeout) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || die "--timeout takes a number of seconds"
      limit=$2; shift 2 ;;
    --local) [ -d "${2:-}" ] || die "--local: '${2:-}' is not a directory"
      locals+=("$(realpath "$2")"); shift 2 ;;
    --) shift; break ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || die "usage: vm.sh [--timeout SECONDS] [--local DIR]... [--] COMMAND [ARG]..."

QEMU=$(command -v qemu-system-x86_64) || die "qemu-system-x86_64 not found: install qemu-system-x86 (scripts/setup.sh)"
BUSYBOX=/bin/busybox
[ -x "$BUSYBOX" ] && ! ldd "$BUSYBOX" >/dev/null 2>&1 ||
  die "a static $BUSYBOX not found: install busybox-static (scripts/setup.sh)"
mkdir -p "$BUILD/vm" || die "cannot create $BUILD/vm"
VM="$(cd "$BUILD/vm" && pwd)"
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

# The kernel and the modules for virtio-9p, from Debian's current kernel
# package; only those files are unpacked.
MODULES=(9p 9pnet_virtio virtio_pci virtio_rng)
kernel="$VM/kernel"
if [ ! -f "$kernel/vmlinuz" ]; then
  command -v apt-get >/dev/null || die "apt-get not found: cannot fetch a kernel"
  package() { apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1; }
  name=$(package)
  if [ -z "$name" ]; then
    apt-get update -q >&2 || true
    name=$(package)
  fi
  [ -n "$name" ] || die "no Debian kernel package (linux-image-amd64's dependency) found: run apt-get update"
  echo "vm: fetching $name into $kernel" >&2
  rm -rf "$kernel.tmp" && mkdir -p "$kernel.tmp" || die "cannot create $kernel.tmp"
  (cd "$kernel.tmp" && apt-get download "$name" >/dev/null 2>apt.log) ||
    die "apt-get download $name failed: $(cat "$kernel.tmp/apt.log")"
  dpkg-deb --fsys-tarfile "$kernel.tmp"/*.deb |
    tar -x -C "$kernel.tmp" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/fs/*' \
      './lib/modules/*/kernel/net/9p/*' './lib/modules/*/kernel/drivers/virtio/*' \
      './lib/modules/*/kernel/drivers/char/hw_random/*' ||
    die "cannot unpack $name"
  mv "$kernel.tmp"/boot/vmlinuz-* "$kernel.tmp/vmlinuz" && rm -f "$kernel.tmp"/*.deb &&
    rm -rf "$kernel" && mv "$kernel.tmp" "$kernel" || die "cannot unpack $name"
fi

runs="$VM/runs"
mkdir -p "$runs" && run=$(mktemp -d "$runs/run.XXXXXX") || die "cannot create a run folder in $runs"
[ -n "${ROOTCHECKER_VM_KEEP:-}" ] || trap 'rm -rf "$run"' EXIT

# Modules in dependency order, from each module's own depends= field.
order=()
add_module() {
  local name=$1 file dep
  [[ " ${order[*]:-} " == *" $name "* ]] && return
  file=$(find "$kernel/lib/modules" -name "$name.ko" -o -name "${name//_/-}.ko" | head -n 1)
  [ -n "$file" ] || die "module $name not in $kernel"
  for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
    add_module "$dep"
  done
  order+=("$name")
  cp "$file" "$run/initramfs/modules/$name.ko"
}
mkdir -p "$run/initramfs"/{bin,dev,proc,sys,newroot,local,modules}
for m in "${MODULES[@]}"; do add_module "$m"; done
cp "$BUSYBOX" "$run/initramfs/bin/busybox"

# What the guest runs: the command, in this directory, with this environment.
{
  export -p | grep -v -E '^declare -x (BASH_FUNC_|SHLVL=|OLDPWD=|TERM=)'
  printf 'cd %q || exit 125\n' "$PWD"
  printf 'exec'; printf ' %q' "$@"; printf '\n'
} >"$run/command.sh"

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
# Through a pipe, so that the command does not see a terminal.
stty -F /dev/ttyS1 raw -echo
set -o pipefail
chroot /newroot /bin/bash $run/command.sh </dev/null 2>&1 | cat >/dev/ttyS1
echo \$? >/newroot$run/status
sync
reboot -f
EOF
chmod +x "$run/initramfs/init"
(cd "$run/initramfs" && find . | "$BUSYBOX" cpio -o -H newc 2>/dev/null) >"$run/initramfs.cpio" ||
  die "cannot pack the initramfs"

# Software emulation, one thread: with multi-threaded TCG the 32-bit JVM's
# C1 code died with SIGILL. Two virtual CPUs keep the JVM's view of the host.
: >"$run/output"
timeout -k 10 "$limit" "$QEMU" -nodefaults -no-user-config -display none -no-reboot \
  -machine q35 -accel tcg,thread=single -cpu max -smp 2 -m 4096 \
  -kernel "$kernel/vmlinuz" -initrd "$run/initramfs.cpio" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
  -serial "file:$run/console.log" \
  -chardev "file,id=out,path=$run/output" -serial chardev:out \
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
