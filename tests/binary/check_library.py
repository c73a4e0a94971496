#!/usr/bin/env python3
"""Checks on the built librootchecker.so: what it exports, that nothing of its
own runs at load, that it cannot print or log, and how it is hardened.

    check_library.py --lib PATH --compile-commands PATH --build-type TYPE
                     [--nm nm] [--readelf readelf] [--check NAME]...
                     [--expect-fail]

Every check prints PASS or FAIL with its name; the exit status is 1 if any
check failed. With --check only the named checks run (CTest runs one each).
With --expect-fail it is 1 unless every check failed.
"""

import argparse
import json
import re
import shlex
import subprocess
import sys

JNI_ENTRY_POINTS = {
    "Java_com_torvanelk_pemblisk_utils_NativeRootChecker_nativeCheckForRoot",
    "Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt",
}
CIPHER_OPERATIONS = {
    "AES_init_ctx_iv(AES_ctx*, unsigned char const*, unsigned char const*)",
    "AES_CBC_decrypt_buffer(AES_ctx*, unsigned char*, unsigned int)",
}
INTERNAL_NAMES = [
    "KeyExpansion", "InvCipher", "AddRoundKey", "InvShiftRows", "InvSubBytes",
    "InvMixColumns", "SubWord", "RotWord", "Rcon", "xtime", "gf_multiply",
    "xor_chaining_value", "probe_path", "decrypt_password_blob",
    "key_share_a", "key_share_b", "kSbox", "kInvSbox", "secure_wipe",
]
# Anything that writes to a stream, a descriptor or a log.
OUTPUT_IMPORTS = re.compile(
    r"^(?:"
    r"_*v?[fd]?printf(?:_chk)?"                          # printf family
    r"|_*v?[fd]?wprintf(?:_chk)?"
    r"|f?puts(?:_unlocked)?|putc(?:har)?(?:_unlocked)?|fputc(?:_unlocked)?"
    r"|putwc|putwchar|fputwc|fputws|putw"               # puts family
    r"|fwrite(?:_unlocked)?|write|writev|pwrite(?:64)?|pwritev2?"
    r"|_*v?syslog(?:_chk)?|perror"
    r"|__android_log_\w*"
    r"|_ZSt\d*w?c(?:out|err|log)"                       # std::cout and kin
    r")$")
# Toolchain start-up code that may sit in .init_array (crtbeginS.o).
TOOLCHAIN_INIT_ENTRIES = {"frame_dummy"}
LIBRARY_SOURCES = ("cipher/aes.cpp", "native/root_checker.cpp",
                   "native/password_decrypter.cpp")
# Each machine's dynamic relocation types (readelf -h's "Machine:" names it),
# by their common prefix: R_386_JUMP_SLOT, R_X86_64_GLOB_DAT,
# R_AARCH64_JUMP_SLOT, R_AARCH64_GLOB_DAT, R_AARCH64_ABS64, R_ARM_JUMP_SLOT,
# R_ARM_GLOB_DAT, R_ARM_ABS32, ... Any of them that names a symbol binds it
# at load time.
RELOCATION_PREFIXES = {
    "Intel 80386": "R_386_",
    "Advanced Micro Devices X86-64": "R_X86_64_",
    "AArch64": "R_AARCH64_",
    "ARM": "R_ARM_",
}


def run(*argv):
    return subprocess.run(argv, check=True, capture_output=True,
                          text=True).stdout


class Library:
    def __init__(self, args):
        self.args = args
        self.path = args.lib
        self.header = run(args.readelf, "-W", "-h", self.path)
        self.word = 8 if "ELF64" in self.header else 4
        m = re.search(r"^\s*Machine:\s*(.+?)\s*$", self.header, re.M)
        self.machine = m.group(1) if m else "unknown"
        self.dynamic = run(args.readelf, "-W", "-d", self.path)
        self.segments = run(args.readelf, "-W", "-l", self.path)

    def dynamic_symbols(self, defined, demangle=False):
        argv = [self.args.nm, "-D", "--defined-only" if defined
                else "--undefined-only"]
        if demangle:
            argv.append("-C")
        symbols = []
        for line in run(*argv, self.path).splitlines():
            # "ADDRESS TYPE NAME" or, undefined, "TYPE NAME"; names may hold
            # spaces once demangled.
            parts = line.split(None, 2 if defined else 1)
            if len(parts) < (3 if defined else 2):
                continue
            kind, name = parts[-2], parts[-1]
            symbols.append((kind, name.split("@")[0]))
        return symbols

    def code_address(self, address):
        """An address as the symbol table has it: on 32-bit ARM, bit 0 of a
        function pointer only selects Thumb code."""
        return address & ~1 if self.machine == "ARM" else address

    def static_symbols(self):
        """Address -> names, from .symtab (needs an unstripped library)."""
        out = subprocess.run([self.args.nm, self.path], capture_output=True,
                             text=True).stdout
        by_address = {}
        for line in out.splitlines():
            parts = line.split()
            if len(parts) == 3:
                address = self.code_address(int(parts[0], 16))
                by_address.setdefault(address, []).append(parts[2])
        return by_address

    def section(self, name):
        """(address, bytes) of a section, or None."""
        out = subprocess.run([self.args.readelf, "-W", "-x", name, self.path],
                             capture_output=True, text=True).stdout
        if "Hex dump" not in out:
            return None
        data, start = bytearray(), None
        for line in out.splitlines():
            # GNU readelf indents the rows, llvm-readelf does not.
            m = re.match(r"\s*0x([0-9a-f]+) ((?:[0-9a-f]{2,8} ){1,4})", line)
            if m:
                if start is None:
                    start = int(m.group(1), 16)
                data += bytes.fromhex(m.group(2).replace(" ", ""))
        return start, bytes(data)

    def relative_addends(self):
        """Offset -> addend of the RELATIVE relocations that carry one."""
        addends = {}
        for line in run(self.args.readelf, "-W", "-r", self.path).splitlines():
            parts = line.split()
            if len(parts) >= 4 and parts[2].endswith("_RELATIVE"):
                try:
                    addends[int(parts[0], 16)] = int(parts[3], 16)
                except ValueError:
                    pass
        return addends


def check_exports(lib, fail):
    """Exactly the two JNI entry points and the two cipher operations."""
    exported = lib.dynamic_symbols(defined=True, demangle=True)
    names = {name for _, name in exported}
    expected = JNI_ENTRY_POINTS | CIPHER_OPERATIONS
    for name in sorted(expected - names):
        fail(f"not exported: {name}")
    for name in sorted(names - expected):
        fail(f"exported but should not be: {name}")
    for kind, name in exported:
        if name in expected and kind != "T":
            fail(f"{name} is of type {kind}, not a global function (T)")
    # The cipher operations keep their C++ names; the JNI ones are plain.
    raw = {name for _, name in lib.dynamic_symbols(defined=True)}
    for prefix in ("_Z15AES_init_ctx_iv", "_Z22AES_CBC_decrypt_buffer"):
        if not any(n.startswith(prefix) for n in raw):
            fail(f"no symbol {prefix}...: the cipher operations must keep "
                 "their C++ names")


def check_no_internal_names(lib, fail):
    """No internal function or table in the dynamic symbol table."""
    dynsym = [name for _, name in lib.dynamic_symbols(defined=True)]
    dynsym += [name for _, name in lib.dynamic_symbols(defined=False)]
    for internal in INTERNAL_NAMES:
        for name in dynsym:
            if internal in name:
                fail(f"dynamic symbol {name} names internal {internal}")


def check_no_load_time_code(lib, fail):
    """No JNI_OnLoad, no constructor of ours, only crt's init entries."""
    for _, name in lib.dynamic_symbols(defined=True):
        if name in ("JNI_OnLoad", "JNI_OnUnload"):
            fail(f"exports {name}")
    by_address = lib.static_symbols()
    if not by_address:
        fail("no .symtab: cannot tell whose code the init entries are "
             "(check an unstripped build)")
        return
    all_names = {n for names in by_address.values() for n in names}
    for name in sorted(all_names):
        if name in ("JNI_OnLoad", "JNI_OnUnload"):
            fail(f"defines {name}")
        if re.match(r"_GLOBAL__(sub_)?I_", name):
            fail(f"static constructor {name}")
    for section in (".ctors", ".preinit_array"):
        if lib.section(section) is not None:
            fail(f"has a {section} section")
    init_array = lib.section(".init_array")
    if init_array is not None:
        start, data = init_array
        addends = lib.relative_addends()
        for offset in range(0, len(data), lib.word):
            # RELA targets keep the address in the addend, REL ones in place.
            address = addends.get(start + offset) or int.from_bytes(
                data[offset:offset + lib.word], "little")
            address = lib.code_address(address)
            names = set(by_address.get(address, []))
            if not names & TOOLCHAIN_INIT_ENTRIES:
                fail(f".init_array entry {address:#x} is "
                     f"{sorted(names) or 'unknown'}, not toolchain start-up code")
    m = re.search(r"\(INIT\)\s+0x([0-9a-f]+)", lib.dynamic)
    if m:
        names = by_address.get(lib.code_address(int(m.group(1), 16)), [])
        if "_init" not in names:
            fail(f"DT_INIT points at {names or 'unknown'}, not crti's _init")


def check_no_output_imports(lib, fail):
    """Imports nothing that prints, writes to a descriptor or logs."""
    for _, name in lib.dynamic_symbols(defined=False):
        if OUTPUT_IMPORTS.match(name):
            fail(f"imports {name}")


def check_own_calls_bound(lib, fail):
    """No dynamic relocation names a symbol the library defines itself."""
    own = {name for _, name in lib.dynamic_symbols(defined=True)}
    prefix = RELOCATION_PREFIXES.get(lib.machine)
    if prefix is None:
        fail(f"relocation types of machine {lib.machine} unknown: cannot "
             "tell which relocations bind symbols")
        return
    # readelf -W -r: OFFSET INFO TYPE SYMVALUE NAME[@VERSION] [+ ADDEND]
    for line in run(lib.args.readelf, "-W", "-r", lib.path).splitlines():
        parts = line.split()
        if len(parts) >= 5 and parts[2].startswith(prefix):
            name = parts[4].split("@")[0]
            if name in own:
                fail(f"{parts[2]} for its own {name}: a library loaded "
                     "earlier could interpose on it (link with -Bsymbolic)")


def check_relro(lib, fail):
    """Full RELRO: a GNU_RELRO segment and eager binding."""
    if not re.search(r"^\s*GNU_RELRO\s", lib.segments, re.M):
        fail("no GNU_RELRO segment")
    if not (re.search(r"\(FLAGS\)\s.*\bBIND_NOW\b", lib.dynamic)
            or re.search(r"\(FLAGS_1\)\s.*\bNOW\b", lib.dynamic)
            or "(BIND_NOW)" in lib.dynamic):
        fail("not linked with -z now (no BIND_NOW)")


def check_noexecstack(lib, fail):
    """A GNU_STACK segment without E."""
    # The alignment ends the row: "0x10", or "0" from GNU readelf where
    # lld leaves it zero (32-bit ARM).
    m = re.search(r"^\s*GNU_STACK\s.*\s(R?W?E?)\s+(?:0x)?[0-9a-f]+\s*$",
                  lib.segments, re.M)
    if not m:
        fail("no GNU_STACK segment: the loader would assume an executable stack")
    elif "E" in m.group(1):
        fail(f"GNU_STACK is {m.group(1)}: the stack is executable")


def check_stack_protector(lib, fail):
    """Calls __stack_chk_fail (or, on i386, its local stub)."""
    imported = {name for _, name in lib.dynamic_symbols(defined=False)}
    local = {n for names in lib.static_symbols().values() for n in names}
    if not ({"__stack_chk_fail", "__stack_chk_guard"} & imported
            or "__stack_chk_fail_local" in local):
        fail("neither __stack_chk_fail nor __stack_chk_fail_local: "
             "built without a stack protector")


def check_fortify(lib, fail):
    """The library's objects compile with _FORTIFY_SOURCE and optimisation."""
    if lib.args.build_type == "Debug":
        print("  (Debug build: _FORTIFY_SOURCE is not expected)")
        return
    with open(lib.args.compile_commands) as f:
        commands = json.load(f)
    seen = set()
    for entry in commands:
        source = entry["file"].replace("\\", "/")
        ours = [s for s in LIBRARY_SOURCES if source.endswith("/" + s)]
        argv = entry.get("arguments") or shlex.split(entry["command"])
        if not ours or not any("rootchecker_core" in a for a in argv):
            continue
        seen.add(ours[0])
        fortify = [a for a in argv if re.match(r"-[DU]_FORTIFY_SOURCE", a)]
        if not fortify or not re.match(r"-D_FORTIFY_SOURCE=[23]$", fortify[-1]):
            fail(f"{ours[0]} compiles without -D_FORTIFY_SOURCE=2: {fortify}")
        levels = [a for a in argv if re.match(r"-O.?$", a)]
        if not levels or levels[-1] == "-O0":
            fail(f"{ours[0]} compiles without optimisation, so "
                 f"_FORTIFY_SOURCE does nothing: {levels}")
        if "-fstack-protector-strong" not in argv:
            fail(f"{ours[0]} compiles without -fstack-protector-strong")
    for source in LIBRARY_SOURCES:
        if source not in seen:
            fail(f"{source}: no compile command for the library found")
    # Only informative: the code may have no call whose size is known.
    fortified = sorted(name for _, name in lib.dynamic_symbols(defined=False)
                       if name.startswith("__") and name.endswith("_chk")
                       and name != "__stack_chk_fail")
    print("  fortified calls imported: " + (", ".join(fortified) or
          "none (no call with a size known at compile time to check)"))


CHECKS = {
    "exports": check_exports,
    "no_internal_names": check_no_internal_names,
    "no_load_time_code": check_no_load_time_code,
    "no_output_imports": check_no_output_imports,
    "own_calls_bound": check_own_calls_bound,
    "relro": check_relro,
    "noexecstack": check_noexecstack,
    "stack_protector": check_stack_protector,
    "fortify": check_fortify,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", required=True)
    parser.add_argument("--compile-commands", required=True)
    parser.add_argument("--build-type", default="")
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--readelf", default="readelf")
    parser.add_argument("--check", action="append", choices=sorted(CHECKS))
    parser.add_argument("--expect-fail", action="store_true",
                        help="succeed only if every check fails (for a "
                        "library built to break them all)")
    args = parser.parse_args()

    lib = Library(args)
    failed = []
    for name in args.check or CHECKS:
        problems = []
        CHECKS[name](lib, problems.append)
        print(f"{'FAIL' if problems else 'PASS'} {name}: "
              f"{CHECKS[name].__doc__.strip()}")
        for problem in problems:
            print(f"  {name}: {problem}")
        if problems:
            failed.append(name)
    if args.expect_fail:
        passed = [name for name in args.check or CHECKS if name not in failed]
        if passed:
            print(f"{args.lib}: these checks missed a fault: {', '.join(passed)}")
            return 1
        return 0
    if failed:
        print(f"{args.lib}: failed checks: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
