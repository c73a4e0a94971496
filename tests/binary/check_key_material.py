#!/usr/bin/env python3
"""Searches a built library for the app's key in any form that constant
folding or a table could leave there: the key itself, either 8-byte half of
it, and each of its 11 AES-128 round keys. The key must only ever be built at
run time from its two shares.

    check_key_material.py --lib PATH --key-file app_key.hex [--expect-fail]

The round keys are computed here, from FIPS-197 itself (the S-box from the
field inverse and the affine map), not with the library's tables. Exit status
1 if anything was found; with --expect-fail, 1 unless something was.
"""

import argparse
import sys


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", required=True)
    parser.add_argument("--key-file", required=True)
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
    found = []
    for name, needle in needles.items():
        at = data.find(needle)
        if at >= 0:
            found.append(f"{name} at file offset {at:#x}")
    for line in found:
        print(f"  found {line}")
    verdict = "FAIL" if found else "PASS"
    print(f"{verdict} no_key_material: none of the key, its halves or its "
          f"{len(schedule)} round keys in {args.lib} ({len(data)} bytes)")
    if args.expect_fail:
        return 0 if found else 1
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
