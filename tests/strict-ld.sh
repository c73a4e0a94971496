#!/bin/sh
# For tests/tools-only.sh: a linker that refuses GNU ld's ELF-only options
# where the build gives them (after -o; the driver's own come before it), as
# Apple's ld64 refuses them. Anything else goes to ld.
seen_o=
for a in "$@"; do
  [ "$a" = -o ] && seen_o=1
  [ -n "$seen_o" ] || continue
  case "$a" in
    --hash-style*|--version-script*|-z|-Bsymbolic|--no-undefined|-nodefaultlibs)
      echo "strict-ld: unknown option: $a" >&2
      exit 1 ;;
  esac
done
exec ld "$@"
