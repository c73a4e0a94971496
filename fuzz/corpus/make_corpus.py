#!/usr/bin/env python3
"""Writes the seed corpora next to this script. The seeds hold for any key:
boundary lengths and input layouts, no blob sealed under one key."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def write(fuzzer, name, data):
    directory = os.path.join(HERE, fuzzer)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(bytes(data))


def pattern(n, start=0):
    return [(start + 37 * i) & 0xFF for i in range(n)]


# fuzz_password_blob: the blob itself, at and around the length boundaries.
for n in (0, 1, 16, 17, 31, 32, 33, 40, 48, 64, 80):
    write("fuzz_password_blob", "len%03d" % n, pattern(n, n))

# fuzz_cbc: key | iv | fill | chunk count | chunk sizes (blocks, mod 8) |
# tail flag | message. The key, IV and plaintext of NIST SP 800-38A F.2.2.
nist_key = bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c")
nist_iv = bytes.fromhex("000102030405060708090a0b0c0d0e0f")
nist_plain = bytes.fromhex(
    "6bc1bee22e409f96e93d7e117393172a" "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef" "f69f2445df4f9b17ad2b417be66c3710")
write("fuzz_cbc", "nist_one_call", nist_key + nist_iv + bytes([0, 0, 0]) + nist_plain)
write("fuzz_cbc", "nist_16_32_16",
      nist_key + nist_iv + bytes([0xA5, 3, 1, 2, 1, 0]) + nist_plain)
write("fuzz_cbc", "empty_calls_and_tail",
      nist_key + nist_iv + bytes([0xFF, 4, 0, 1, 0, 1, 1]) + nist_plain + b"tail")
write("fuzz_cbc", "no_message", nist_key + nist_iv)

# fuzz_jni: byte 0 picks the entry point (bit 0) and the failures; see
# fuzz_jni.cpp. Root check kinds: 0 null, 1 readable, 2 unreadable,
# 3 socket, 4 missing, 5 directory, 6 dangling link, 7 path through a file,
# 8 spelled-out name.
write("fuzz_jni", "root_empty", [0x00])
write("fuzz_jni", "root_null_array", [0x02])
write("fuzz_jni", "root_mixed", [0x00, 1, 3, 1, 0, 4, 5, 6, 7, 2])
write("fuzz_jni", "root_named", [0x00, 8, 8] + list(b"readable") + [8, 2, 1, 1])
write("fuzz_jni", "root_fail_at_2", [0x04 | (2 << 3), 1, 0, 1, 1, 1])
write("fuzz_jni", "decrypt_null_blob", [0x03])
for n in (0, 17, 32, 48):
    write("fuzz_jni", "decrypt_len%03d" % n, [0x01] + pattern(n, n))
write("fuzz_jni", "decrypt_fail_elements", [0x05] + pattern(32))
write("fuzz_jni", "decrypt_fail_new_array", [0x09] + pattern(48))
