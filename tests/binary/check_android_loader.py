#!/usr/bin/env python3
"""Checks that Android's loader takes the built librootchecker.so on every API
level from 21: what it reads is the program headers and the dynamic segment,
and so does this check (section headers only for their own rule).

    check_android_loader.py --lib PATH [--android] [--api N]
                            [--check NAME]... [--expect-fail NAME]...

The API level the library is held to is its own: the .note.android.ident
that the NDK's crtbegin_so.o puts in every library it links. --api N
overrides it; without either (a Linux build) it is Android's oldest, 21.

Every rule prints PASS or FAIL with its name; the exit status is 1 if any
failed. With --expect-fail NAME the library is a faulty twin built to break
NAME alone (or the rules named, each with --expect-fail): the status is 0
only if they fail and every other rule passes.
"""

import argparse
import re
import sys

from elftools.elf.constants import P_FLAGS
from elftools.elf.elffile import ELFFile

SONAME = "librootchecker.so"

# What the library may link against: bionic's C library and the two that
# split off from it. On a glibc build, glibc's own loader comes with its C
# library: glibc keeps __stack_chk_guard there on ARM, bionic in libc.so.
NEEDED_ALLOWED = {"libc", "libm", "libdl"}
GLIBC_LOADER = re.compile(r"^ld-linux(-[\w-]+)?\.so\.\d+$")
# C++ runtimes an app's module may use (ANDROID_STL) and the library must not
# carry, named apart so that a leak says what it is.
CXX_RUNTIME = re.compile(r"^lib(c\+\+(_shared|abi)?|stdc\+\+|gnustl_shared|"
                         r"stlport_shared|unwind)\.so(\.\d+)*$")

# Every symbol the library may import, with why. Each one is a C function or
# variable that bionic's libc has had since API 21 or before, but for those
# IMPORTS_SINCE names with their level. A new import fails this check until
# it is added here with its reason. tests/android/bionic_stubs.py makes the
# stand-in's libc.so from both.
IMPORTS_ALLOWED = {
    "malloc": "the decrypter's working buffer",
    "free": "the working buffer, after it is wiped",
    "memcpy": "copies of the IV, the ciphertext and the key schedule",
    "memset": "wipes of the key, the context and the stack",
    "syscall": "rt_sigprocmask with a 64-bit set around the cipher: bionic's "
               "32-bit pthread_sigmask cannot block real-time signals below "
               "API 28",
    "open": "probe_path",
    "close": "probe_path",
    "__errno": "bionic's errno: probe_path retries EINTR and tells "
               "EMFILE, ENFILE and ENOMEM apart",
    "__stack_chk_fail": "-fstack-protector-strong's failure path",
    "__stack_chk_guard": "the stack protector's canary on ARM and AArch64",
    "__memcpy_chk": "_FORTIFY_SOURCE, when a copy's size is known",
    "__memset_chk": "_FORTIFY_SOURCE, when a fill's size is known",
    "__open_2": "_FORTIFY_SOURCE's open",
    "__aeabi_memcpy": "ARM EABI: the compiler's name for memcpy",
    "__aeabi_memcpy4": "ARM EABI: memcpy of aligned data",
    "__aeabi_memcpy8": "ARM EABI: memcpy of aligned data",
    "__aeabi_memset": "ARM EABI: the compiler's name for memset",
    "__aeabi_memclr": "ARM EABI: memset to zero",
    "__aeabi_memclr4": "ARM EABI: memset to zero, aligned",
    "__aeabi_memclr8": "ARM EABI: memset to zero, aligned",
    "__cxa_finalize": "crtbegin's destructor (the NDK's crtbegin_so.o, "
                      "glibc's crtbeginS.o), run at unload",
    "__cxa_atexit": "the NDK's crtbegin_so.o: its hidden atexit",
    "__register_atfork": "the NDK's crtbegin_so.o from API 23: its hidden "
                         "pthread_atfork",
}
# Imports bionic has only from some API level on: a library built for an
# older level that imports one fails to load there (the NDK's crtbegin_so.o
# imports __register_atfork from API 23; NDK issue 964).
IMPORTS_SINCE = {
    "__register_atfork": 23,
}
# Android's oldest level, the NDK's minimum here: a library that does not say
# its level (no .note.android.ident) is held to it.
API_MIN = 21
# The toolchain's weak hooks (glibc's crtbegin): null when nothing defines
# them, so the loader needs nothing for them. Allowed only as weak.
WEAK_HOOKS = {"_ITM_deregisterTMCloneTable", "_ITM_registerTMCloneTable",
              "__gmon_start__"}

PAGE_16K = 16384
DF_TEXTREL = 0x4


NT_ANDROID_IDENT = 1


def android_ident(elf):
    """The API level of the library's .note.android.ident, or None. Read
    from the raw notes: pyelftools takes type 1 for GNU's ABI tag."""
    def aligned(n):
        return (n + 3) & ~3
    for segment in elf.iter_segments():
        if segment["p_type"] != "PT_NOTE":
            continue
        data = segment.data()
        at = 0
        while at + 12 <= len(data):
            namesz, descsz, kind = (int.from_bytes(data[at + i:at + i + 4],
                                                   "little")
                                    for i in (0, 4, 8))
            name = data[at + 12:at + 12 + namesz]
            desc_at = at + 12 + aligned(namesz)
            desc = data[desc_at:desc_at + descsz]
            if name == b"Android\0" and kind == NT_ANDROID_IDENT and \
                    len(desc) >= 4:
                return int.from_bytes(desc[:4], "little")
            at = desc_at + aligned(descsz)
    return None


class Library:
    def __init__(self, path, android=False, api=None):
        self.path = path
        self.android = android
        self.file = open(path, "rb")
        self.elf = ELFFile(self.file)
        self.bits = self.elf.elfclass
        self.machine = self.elf["e_machine"]
        self.segments = list(self.elf.iter_segments())
        dynamic = [s for s in self.segments if s["p_type"] == "PT_DYNAMIC"]
        self.dynamic = dynamic[0] if dynamic else None
        self.tags = list(self.dynamic.iter_tags()) if self.dynamic else []
        ident = android_ident(self.elf)
        if api is not None:
            self.api, self.api_from = api, "--api"
        elif ident is not None:
            self.api, self.api_from = ident, ".note.android.ident"
        else:
            self.api, self.api_from = API_MIN, "no .note.android.ident: the oldest"

    def tag_values(self, name):
        return [t for t in self.tags if t.entry.d_tag == name]

    def dynamic_symbols(self):
        """The dynamic symbol table as the loader finds it: through DT_SYMTAB
        and the hash table's count."""
        if self.dynamic is None:
            return []
        return [s for s in self.dynamic.iter_symbols() if s.name]


def rule_soname(lib, fail):
    """DT_SONAME is librootchecker.so"""
    names = [t.soname for t in lib.tag_values("DT_SONAME")]
    if names != [SONAME]:
        fail(f"DT_SONAME is {names or 'missing'}, not {SONAME!r}: the loader "
             "records the library by it")


def rule_hash(lib, fail):
    """DT_HASH is present (API 21 and 22 read no DT_GNU_HASH)"""
    if not lib.tag_values("DT_HASH"):
        has_gnu = bool(lib.tag_values("DT_GNU_HASH"))
        fail("no DT_HASH" + (" (only DT_GNU_HASH, which Android reads from "
                             "API 23)" if has_gnu else "")
             + ": link with --hash-style=both")


def rule_no_textrel(lib, fail):
    """no text relocations (DT_TEXTREL, DF_TEXTREL)"""
    if lib.tag_values("DT_TEXTREL"):
        fail("DT_TEXTREL: the loader must write to code (refused from API 23)")
    for tag in lib.tag_values("DT_FLAGS"):
        if tag.entry.d_val & DF_TEXTREL:
            fail("DT_FLAGS has DF_TEXTREL")


def rule_no_wx_segment(lib, fail):
    """no segment both writable and executable"""
    for i, seg in enumerate(lib.segments):
        flags = seg["p_flags"]
        if flags & P_FLAGS.PF_W and flags & P_FLAGS.PF_X:
            fail(f"segment {i} ({seg['p_type']}, offset {seg['p_offset']:#x}) "
                 "is writable and executable")


def rule_section_headers(lib, fail):
    """section headers are present (Android refuses a library without them
    from API 24)"""
    if lib.elf["e_shnum"] == 0 or lib.elf["e_shoff"] == 0:
        fail(f"no section headers (e_shoff {lib.elf['e_shoff']:#x}, "
             f"e_shnum {lib.elf['e_shnum']})")


def rule_needed(lib, fail):
    """NEEDED is only libc, libm, libdl"""
    needed = [t.needed for t in lib.tag_values("DT_NEEDED")]
    print(f"  NEEDED: {', '.join(needed) or 'nothing'}")
    for name in needed:
        if CXX_RUNTIME.match(name):
            fail(f"NEEDED {name}: a C++ runtime (the app module's "
                 "ANDROID_STL, say); the library carries none")
            continue
        if lib.android:
            # Bionic's names, as the NDK's stubs give them: no version.
            if name.endswith(".so") and name[:-3] in NEEDED_ALLOWED:
                continue
            fail(f"NEEDED {name}: not one of bionic's "
                 f"{sorted(n + '.so' for n in NEEDED_ALLOWED)}")
            continue
        base = re.sub(r"\.so(\.\d+)*$", "", name)
        if base in NEEDED_ALLOWED:
            continue
        if GLIBC_LOADER.match(name):
            print(f"  {name}: glibc's loader, part of its C library on this "
                  "Linux build (bionic has no such NEEDED)")
            continue
        fail(f"NEEDED {name}: not one of {sorted(NEEDED_ALLOWED)}")


def rule_load_alignment(lib, fail):
    """every LOAD segment of a 64-bit build is aligned to at least 16 KiB"""
    loads = [s for s in lib.segments if s["p_type"] == "PT_LOAD"]
    aligns = ", ".join(f"{s['p_align']:#x}" for s in loads)
    if lib.bits != 64:
        print(f"  32-bit ({lib.machine}): Android's 32-bit ABIs use 4 KiB "
              f"pages, not checked (LOAD alignments {aligns})")
        return
    print(f"  64-bit ({lib.machine}): LOAD alignments {aligns}")
    if not loads:
        fail("no LOAD segment")
    for i, seg in enumerate(loads):
        if seg["p_align"] < PAGE_16K:
            fail(f"LOAD segment {i} is aligned to {seg['p_align']:#x}: a "
                 "device with 16 KiB pages cannot map it (link with "
                 "-z max-page-size=16384)")


# glibc's names for functions of IMPORTS_ALLOWED: a Linux build compiled with
# glibc's headers imports these instead, and only there are they allowed (the
# stand-in maps them back to bionic's names, so its stub libc defines none).
GLIBC_NAMES = {
    "__errno_location": "__errno",
}


def rule_imports(lib, fail):
    """imports only the documented C functions, each at the API levels
    bionic has it"""
    imports = sorted((s.name, s["st_info"]["bind"])
                     for s in lib.dynamic_symbols()
                     if s["st_shndx"] == "SHN_UNDEF")
    print(f"  imports: {', '.join(name for name, _ in imports) or 'nothing'}")
    print(f"  API level {lib.api} ({lib.api_from})")
    for name, bind in imports:
        since = IMPORTS_SINCE.get(name, API_MIN)
        if name in IMPORTS_ALLOWED and lib.api < since:
            fail(f"imports {name}, which bionic has only from API {since}: "
                 f"built for API {lib.api}, the library fails to load on "
                 f"API {lib.api} to {since - 1}")
            continue
        if name in IMPORTS_ALLOWED:
            continue
        if not lib.android and GLIBC_NAMES.get(name) in IMPORTS_ALLOWED:
            continue
        if name in WEAK_HOOKS and bind == "STB_WEAK":
            continue
        fail(f"imports {name}: not in IMPORTS_ALLOWED; add it there with "
             "why the library needs it, if bionic has had it since API 21")


RULES = {
    "soname": rule_soname,
    "hash": rule_hash,
    "no_textrel": rule_no_textrel,
    "no_wx_segment": rule_no_wx_segment,
    "section_headers": rule_section_headers,
    "needed": rule_needed,
    "load_alignment": rule_load_alignment,
    "imports": rule_imports,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", required=True)
    parser.add_argument("--check", action="append", choices=sorted(RULES))
    parser.add_argument("--android", action="store_true",
                        help="a library linked for Android, not a Linux "
                        "stand-in: NEEDED names bionic's libraries alone")
    parser.add_argument("--api", type=int,
                        help="the API level to hold the library to, instead "
                        "of its .note.android.ident")
    parser.add_argument("--expect-fail", action="append", choices=sorted(RULES),
                        help="the library is a twin built to break this rule "
                        "alone (or the rules given)")
    args = parser.parse_args()
    if args.api is not None and args.api < API_MIN:
        parser.error(f"--api {args.api}: Android's oldest level here is "
                     f"{API_MIN}")

    lib = Library(args.lib, args.android, args.api)
    if lib.dynamic is None:
        print(f"FAIL {args.lib}: no PT_DYNAMIC segment: not a shared library")
        return 1
    print(f"{args.lib}: ELF{lib.bits} {lib.machine}")
    failed = []
    for name in (RULES if args.expect_fail else args.check or RULES):
        problems = []
        RULES[name](lib, problems.append)
        doc = " ".join(RULES[name].__doc__.split())
        print(f"{'FAIL' if problems else 'PASS'} {name}: {doc}")
        for problem in problems:
            print(f"  {name}: {problem}")
        if problems:
            failed.append(name)
    if args.expect_fail:
        expected = ", ".join(args.expect_fail)
        others = [name for name in failed if name not in args.expect_fail]
        missed = [name for name in args.expect_fail if name not in failed]
        if missed:
            print(f"{args.lib}: rule {', '.join(missed)} missed the fault "
                  "its twin was built with")
            return 1
        if others:
            print(f"{args.lib}: the twin for {expected} also breaks "
                  f"{', '.join(others)}: it must differ in those faults only")
            return 1
        print(f"{args.lib}: rule {expected} caught its twin, and only "
              f"{'it' if len(args.expect_fail) == 1 else 'they'} failed")
        return 0
    if failed:
        print(f"{args.lib}: failed rules: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
