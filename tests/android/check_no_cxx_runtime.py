#!/usr/bin/env python3
"""Checks that a library built in a module with a static C++ runtime holds
none of it: no symbol that the runtime's archives define is defined in the
library's symbol table (local ones too: --exclude-libs makes the runtime's
symbols local, it does not take them out).

    check_no_cxx_runtime.py --lib PATH --archive A [--archive A]...
                            [--nm llvm-nm] [--expect-fail]

With --expect-fail the library is a control built to carry the runtime: the
status is 0 only if the check finds it.
"""

import argparse
import subprocess
import sys


def defined(nm, path, *flags):
    out = subprocess.run([nm, "--defined-only", "-P", *flags, path],
                         check=True, capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        fields = line.split()
        # Archive member headers ("libx.a[y.o]:") have no type field.
        if len(fields) >= 2 and not fields[0].endswith(":"):
            names.add(fields[0])
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", required=True)
    parser.add_argument("--archive", action="append", required=True)
    parser.add_argument("--nm", default="llvm-nm")
    parser.add_argument("--expect-fail", action="store_true")
    args = parser.parse_args()

    runtime = set()
    for archive in args.archive:
        runtime |= defined(args.nm, archive, "-g")
    if not runtime:
        print(f"FAIL: no symbol in {', '.join(args.archive)}: nothing to look for")
        return 1
    symbols = defined(args.nm, args.lib)
    if not symbols:
        print(f"FAIL {args.lib}: no symbol table: cannot tell (check an "
              "unstripped build)")
        return 1
    found = sorted(runtime & symbols)
    print(f"{args.lib}: {len(symbols)} symbols, looked for the "
          f"{len(runtime)} the C++ runtime's archives define")
    if found:
        shown = ", ".join(found[:5]) + (", ..." if len(found) > 5 else "")
        print(f"FAIL no_cxx_runtime: {len(found)} of them in the library: {shown}")
    else:
        print("PASS no_cxx_runtime: none of them in the library")
    if args.expect_fail:
        if found:
            print(f"{args.lib}: the check caught its control")
            return 0
        print(f"{args.lib}: the check missed the runtime its control carries")
        return 1
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
