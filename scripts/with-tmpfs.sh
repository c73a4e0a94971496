#!/usr/bin/env bash
# Runs one command in a private mount namespace where /tmp is a fresh tmpfs
# and each --local DIR is a copy of itself on tmpfs, mounted over it. The
# working directory stays where it is, under /tmp too.
#
#   bash scripts/with-tmpfs.sh [--local DIR]... [--] COMMAND [ARG]...
#
# For 32-bit programs under qemu-user: qemu hands them the 64-bit directory
# cookies of the host's file systems, and a 32-bit readdir fails on those
# with EOVERFLOW (the armhf JVM cannot list its own policy files, JUnit cannot
# delete its temporary directories). tmpfs hands out small cookies. Needs
# root, for the mount namespace.
set -euo pipefail

die() { echo "with-tmpfs: $*" >&2; exit 125; }

locals=()
while [ $# -gt 0 ]; do
  case $1 in
    --local) [ -d "$2" ] || die "$2 is not a directory"; locals+=("$(realpath "$2")"); shift 2 ;;
    --) shift; break ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || die "usage: with-tmpfs.sh [--local DIR]... [--] COMMAND [ARG]..."
[ "$(id -u)" -eq 0 ] || die "needs root for a private mount namespace"
command -v unshare >/dev/null || die "unshare not found (util-linux)"

stage=$(mktemp -d)
trap 'rmdir "$stage"' EXIT
# The copies are made on a tmpfs mounted over an empty folder of the real
# /tmp, then bound over their originals, before /tmp itself is covered.
unshare --mount --propagation private -- bash -euc '
  stage=$1; n=$2; shift 2
  mount -t tmpfs tmpfs "$stage"
  for dir in "${@:1:$n}"; do
    mkdir -p "$stage$dir" && cp -a "$dir/." "$stage$dir/" && mount --bind "$stage$dir" "$dir"
  done
  shift "$n"
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  # A working tree under /tmp (a clone, say) is bound back in, from the
  # working directory that this shell still holds.
  case $PWD/ in
    /tmp/*) mkdir -p "$PWD" && mount --no-canonicalize --bind /proc/self/cwd "$PWD" && cd "$PWD" ;;
  esac
  exec "$@"' with-tmpfs "$stage" "${#locals[@]}" "${locals[@]}" "$@"
