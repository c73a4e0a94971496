#!/usr/bin/env python3
"""Searches a built library for the app's key in any form that constant
folding or a table could leave there: the key itself, either 8-byte half of
it, and each of its 11 AES-128 round keys, as bytes anywhere in the file; and
with --objdump, the key's 32-bit words as instruction immediates (a folded
key may be built in registers, as 32-bit ARM does with movw/movt). The key
must only ever be built at run time from its two shares.

    check_key_material.py --lib PATH --key-file app_key.hex [--objdump PATH]
                          [--expect-fail]

The round keys are computed here, from FIPS-197 itself (the S-box from the
field inverse and the affine map), not with the library's tables. The whole
file is searched, headers and padding included; pyelftools names the section
and symbol a find lies in. The instructions are read from objdump's (or
llvm-objdump's) disassembly, which knows each target's ARM and Thumb code
apart from its data. Exit status 1 if anything was found; with
--expect-fail, 1 unless something was.
"""

import argparse
import re
import subprocess
import sys

from elftools.elf.elffile import ELFFile


def gf_mul(a, b):
    product = 0
    while b:
        if b & 1:
            product ^= a
        a = ((a << 1) ^ (0x11B if a & 0x80 else 0)) & 0x1FF
        b >>= 1
    return product


def sbox():
    """FIPS-197 5.1.1: the multiplicative inverse, then the affine map."""
    table = []
    for x in range(256):
        inverse = 0
        if x:
            inverse = next(y for y in range(1, 256) if gf_mul(x, y) == 1)
        s = 0x63
        for shift in range(5):
            s ^= ((inverse << shift) | (inverse >> (8 - shift))) & 0xFF
        table.append(s)
    return table


def round_keys(key):
    """FIPS-197 5.2 for Nk = 4: the 11 round keys of 16 bytes."""
    box = sbox()
    words = [list(key[4 * i:4 * i + 4]) for i in range(4)]
    rcon = 1
    for i in range(4, 44):
        t = list(words[i - 1])
        if i % 4 == 0:
            t = [box[b] for b in t[1:] + t[:1]]
            t[0] ^= rcon
            rcon = gf_mul(rcon, 2)
        words.append([a ^ b for a, b in zip(words[i - 4], t)])
    flat = bytes(b for word in words for b in word)
    return [flat[16 * r:16 * r + 16] for r in range(11)]


def immediates(objdump, lib):
    """The 32-bit values that the library's instructions carry or build in a
    register: x86 $imm (64-bit ones as two words), ARM movw/movt pairs,
    AArch64 mov/movk chains."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", lib],
                          check=True, capture_output=True, text=True).stdout
    values = set()
    pending = {}  # register -> value being built by movw/movt or mov/movk

    def number(token):
        return int(token, 16) if token.lower().startswith("0x") else int(token)

    for line in text.splitlines():
        for imm in re.findall(r"\$(0x[0-9a-f]+)", line):
            v = int(imm, 16)
            values.update({v & 0xFFFFFFFF, v >> 32})
        m = re.search(r"\b(movw|movt|mov|movz|movk)\s+([wx]?\w+),\s*#(-?(?:0x)?[0-9a-f]+)"
                      r"(?:,\s*lsl\s*#(\d+))?", line)
        if not m:
            continue
        op, reg, imm, shift = m.group(1), m.group(2), number(m.group(3)), m.group(4)
        reg = re.sub(r"^[wx]", "x", reg)
        if op in ("movw", "mov", "movz"):
            value = (imm << int(shift or 0)) & 0xFFFFFFFFFFFFFFFF
        elif op == "movt":
            value = (pending.get(reg, 0) & 0xFFFF) | (imm << 16)
        else:  # movk: one 16-bit field of the register
            at = int(shift or 0)
            value = (pending.get(reg, 0) & ~(0xFFFF << at)) | (imm << at)
        pending[reg] = value
        values.update({value & 0xFFFFFFFF, value >> 32})
    return values


def where(elf, offset):
    """The section, and the symbol if any, that hold a file offset."""
    for section in elf.iter_sections():
        start, size = section["sh_offset"], section["sh_size"]
        if section["sh_type"] == "SHT_NOBITS" or not start <= offset < start + size:
            continue
        address = section["sh_addr"] + offset - start
        symtab = elf.get_section_by_name(".symtab")
        for symbol in symtab.iter_symbols() if symtab else []:
            value, length = symbol["st_value"], symbol["st_size"]
            if symbol.name and value <= address < value + max(length, 1):
                return f"{section.name}, in {symbol.name}"
        return section.name
    return "no section"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", required=True)
    parser.add_argument("--key-file", required=True)
    parser.add_argument("--objdump",
                        help="also look for the key's words in instructions")
    parser.add_argument("--expect-fail", action="store_true",
                        help="succeed only if key material is found (for a "
                        "library built to fold the key)")
    args = parser.parse_args()

    with open(args.key_file) as f:
        key = bytes.fromhex(f.read().strip())
    if len(key) != 16:
        print(f"{args.key_file}: not a 16-byte key")
        return 2
    schedule = round_keys(key)
    # FIPS-197 A.1's last round key, so that a slip here cannot hide a find.
    reference = round_keys(bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c"))
    if reference[10].hex() != "d014f9a8c9ee2589e13f0cc8b6630ca6":
        print("the key expansion of this check disagrees with FIPS-197 A.1")
        return 2

    needles = {"the key": key, "the key's first half": key[:8],
               "the key's second half": key[8:]}
    for r in range(1, 11):
        needles[f"round key {r}"] = schedule[r]
    with open(args.lib, "rb") as f:
        data = f.read()
        f.seek(0)
        elf = ELFFile(f)
        found = []
        for name, needle in needles.items():
            at = data.find(needle)
            if at >= 0:
                found.append(f"{name} at file offset {at:#x} "
                             f"({where(elf, at)})")
    if args.objdump:
        words = [int.from_bytes(key[i:i + 4], "little") for i in range(0, 16, 4)]
        in_code = [f"{w:#010x}" for w in words if w in immediates(args.objdump, args.lib)]
        # One word could be any constant; a folded key brings all four.
        if len(in_code) >= 2:
            found.append(f"the key's words {', '.join(in_code)} as instruction immediates")
    for line in found:
        print(f"  found {line}")
    verdict = "FAIL" if found else "PASS"
    print(f"{verdict} no_key_material: none of the key, its halves or its "
          f"{len(schedule)} round keys in {args.lib} ({len(data)} bytes)"
          + (", nor the key's words in its instructions" if args.objdump else ""))
    if args.expect_fail:
        return 0 if found else 1
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
