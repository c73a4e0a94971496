#!/usr/bin/env python3
"""Checks on the built librootchecker.so: what it exports, that nothing of its
own runs at load, that it cannot print or log, and how it is hardened.

    check_library.py --lib PATH --compile-commands PATH --build-type TYPE
                     [--check NAME]... [--expect-fail]

The library is read with pyelftools, not through readelf's or nm's text.

Every check prints PASS or FAIL with its name; the exit status is 1 if any
check failed. With --check only the named checks run (CTest runs one each).
With --expect-fail it is 1 unless every check failed.
"""

import argparse
import json
import re
import shlex
import sys

from elftools.elf.constants import P_FLAGS
from elftools.elf.elffile import ELFFile
from elftools.elf.relocation import RelocationSection

JNI_ENTRY_POINTS = {
    "Java_com_torvanelk_pemblisk_utils_NativeRootChecker_nativeCheckForRoot",
    "Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt",
}
# The cipher operations keep their C++ names (Itanium ABI mangling, the same
# on every target): AES_init_ctx_iv(AES_ctx*, unsigned char const*,
# unsigned char const*) and AES_CBC_decrypt_buffer(AES_ctx*, unsigned char*,
# unsigned int).
CIPHER_OPERATIONS = {
    "_Z15AES_init_ctx_ivP7AES_ctxPKhS2_",
    "_Z22AES_CBC_decrypt_bufferP7AES_ctxPhj",
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
DF_BIND_NOW = 0x8
DF_1_NOW = 0x1


class Library:
    def __init__(self, args):
        self.args = args
        self.path = args.lib
        self.file = open(self.path, "rb")
        self.elf = ELFFile(self.file)
        self.word = self.elf.elfclass // 8
        self.machine = self.elf["e_machine"]
        self.segments = list(self.elf.iter_segments())
        dynamic = self.elf.get_section_by_name(".dynamic")
        self.tags = list(dynamic.iter_tags()) if dynamic else []

    def tags_named(self, name):
        return [t for t in self.tags if t.entry.d_tag == name]

    def dynamic_symbols(self, defined):
        """(symbol type, name) of the .dynsym entries that are defined here
        or, with defined=False, imported."""
        dynsym = self.elf.get_section_by_name(".dynsym")
        if dynsym is None:
            return []
        return [(s["st_info"]["type"], s.name) for s in dynsym.iter_symbols()
                if s.name and (s["st_shndx"] != "SHN_UNDEF") == defined]

    def code_address(self, address):
        """An address as the symbol table has it: on 32-bit ARM, bit 0 of a
        function pointer only selects Thumb code."""
        return address & ~1 if self.machine == "EM_ARM" else address

    def static_symbols(self):
        """Address -> names, from .symtab (needs an unstripped library)."""
        symtab = self.elf.get_section_by_name(".symtab")
        by_address = {}
        if symtab is None:
            return by_address
        for s in symtab.iter_symbols():
            if s.name and s["st_shndx"] != "SHN_UNDEF":
                address = self.code_address(s["st_value"])
                by_address.setdefault(address, []).append(s.name)
        return by_address

    def section(self, name):
        """(address, bytes) of a section, or None."""
        section = self.elf.get_section_by_name(name)
        if section is None:
            return None
        return section["sh_addr"], section.data()

    def relocations(self):
        """(offset, symbol or None, addend or None) of every dynamic
        relocation."""
        found = []
        for section in self.elf.iter_sections():
            if not isinstance(section, RelocationSection):
                continue
            if section["sh_flags"] & 0x2 == 0:  # SHF_ALLOC: loaded ones only
                continue
            symbols = self.elf.get_section(section["sh_link"])
            for rel in section.iter_relocations():
                index = rel["r_info_sym"]
                symbol = symbols.get_symbol(index) if index else None
                addend = rel["r_addend"] if rel.is_RELA() else None
                found.append((rel["r_offset"], symbol, addend))
        return found


def check_exports(lib, fail):
    """Exactly the two JNI entry points and the two cipher operations."""
    exported = lib.dynamic_symbols(defined=True)
    names = {name for _, name in exported}
    expected = JNI_ENTRY_POINTS | CIPHER_OPERATIONS
    for name in sorted(expected - names):
        fail(f"not exported: {name}")
    for name in sorted(names - expected):
        fail(f"exported but should not be: {name}")
    for kind, name in exported:
        if name in expected and kind != "STT_FUNC":
            fail(f"{name} is of type {kind}, not a function (STT_FUNC)")


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
        # RELA targets keep the address in the addend, REL ones in place.
        addends = {offset: addend for offset, symbol, addend
                   in lib.relocations() if symbol is None and addend}
        for offset in range(0, len(data), lib.word):
            address = addends.get(start + offset) or int.from_bytes(
                data[offset:offset + lib.word], "little")
            address = lib.code_address(address)
            names = set(by_address.get(address, []))
            if not names & TOOLCHAIN_INIT_ENTRIES:
                fail(f".init_array entry {address:#x} is "
                     f"{sorted(names) or 'unknown'}, not toolchain start-up code")
    for tag in lib.tags_named("DT_INIT"):
        names = by_address.get(lib.code_address(tag.entry.d_val), [])
        if "_init" not in names:
            fail(f"DT_INIT points at {names or 'unknown'}, not crti's _init")


def check_no_output_imports(lib, fail):
    """Imports nothing that prints, writes to a descriptor or logs."""
    for _, name in lib.dynamic_symbols(defined=False):
        if OUTPUT_IMPORTS.match(name):
            fail(f"imports {name}")


def check_own_calls_bound(lib, fail):
    """No dynamic relocation names a symbol the library defines itself."""
    for offset, symbol, _ in lib.relocations():
        if symbol is not None and symbol.name and \
                symbol["st_shndx"] != "SHN_UNDEF":
            fail(f"relocation at {offset:#x} for its own {symbol.name}: a "
                 "library loaded earlier could interpose on it (link with "
                 "-Bsymbolic)")


def check_relro(lib, fail):
    """Full RELRO: a GNU_RELRO segment and eager binding."""
    if not any(s["p_type"] == "PT_GNU_RELRO" for s in lib.segments):
        fail("no GNU_RELRO segment")
    now = (lib.tags_named("DT_BIND_NOW")
           or any(t.entry.d_val & DF_BIND_NOW for t in lib.tags_named("DT_FLAGS"))
           or any(t.entry.d_val & DF_1_NOW for t in lib.tags_named("DT_FLAGS_1")))
    if not now:
        fail("not linked with -z now (no BIND_NOW)")


def check_noexecstack(lib, fail):
    """A GNU_STACK segment without E."""
    stacks = [s for s in lib.segments if s["p_type"] == "PT_GNU_STACK"]
    if not stacks:
        fail("no GNU_STACK segment: the loader would assume an executable stack")
    elif stacks[0]["p_flags"] & P_FLAGS.PF_X:
        fail("GNU_STACK is executable")


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
