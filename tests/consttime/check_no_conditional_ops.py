#!/usr/bin/env python3
"""Fails if the cipher's machine code holds a conditional move or set.

    check_no_conditional_ops.py --lib PATH [--objdump objdump]
                                [--root SYMBOL]... [--expect-fail]

memcheck (run_consttime.sh) reports branches on secret data, but not a
conditional move or set: it passes such a selection on as undefined data
without a word. So this reads the library's machine code instead. It starts
from the exported cipher operations (their dynamic symbols), follows every
direct call or jump into other code of the library, transitively, and fails
if any instruction it reaches is a conditional move or set: x86 cmovCC,
setCC and fcmovCC, AArch64 csel and its kin. Calls through the PLT (memcpy)
leave the library and are not followed; an indirect call or jump cannot be
followed and fails the check. Everything reached counts, whether it handles
secrets or not: the cipher's code has no conditional move or set at all,
and keeping it that way is simpler than deciding which ones are harmless.

Exit status: 0 when nothing was found, 1 when something was (with
--expect-fail the other way round), 2 on a usage or tool error, 77 when the
architecture is not one this check understands.
"""

import argparse
import re
import subprocess
import sys

CIPHER_OPERATIONS = [
    "_Z15AES_init_ctx_ivP7AES_ctxPKhS2_",
    "_Z22AES_CBC_decrypt_bufferP7AES_ctxPhj",
]

X86_CONDITIONS = r"(?:n?(?:a|ae|b|be|c|e|g|ge|l|le|o|p|s|z)|pe|po)"
ARCHITECTURES = {
    # objdump's file format -> (conditional op, direct call or jump)
    "x86": (re.compile(r"^(?:cmov" + X86_CONDITIONS + r"|set" + X86_CONDITIONS +
                       r"|fcmovn?(?:b|e|be|u))[bwlq]?$"),
            re.compile(r"^(?:call|jmp|j[a-z]+)[lqw]?$")),
    "aarch64": (re.compile(r"^(?:csel|csinc|csinv|csneg|cset|csetm|cinc|cinv"
                           r"|cneg|fcsel)$"),
                re.compile(r"^(?:bl|b|b\.[a-z]+|cbn?z|tbn?z)$")),
}
FORMATS = {
    "elf64-x86-64": "x86",
    "elf32-i386": "x86",
    "elf32-x86-64": "x86",
    "elf64-littleaarch64": "aarch64",
}

LABEL = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(.*)$")
TARGET = re.compile(r"^(?:0x)?([0-9a-f]+) <([^>]+)>$")
INDIRECT = re.compile(r"^(?:(?:notrack|bnd)\s+)?(?:call|jmp)[lqw]?\s+\*|^(?:blr|br)\s")


def run(*argv):
    try:
        return subprocess.run(argv, check=True, capture_output=True,
                              text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit(f"ERROR {' '.join(argv)}: {error}")


def dynamic_symbols(objdump, lib):
    """Mangled name -> address of the defined dynamic function symbols."""
    symbols = {}
    for line in run(objdump, "-T", lib).splitlines():
        fields = line.split()
        if len(fields) >= 6 and "F" in fields[2] and fields[3] == ".text":
            symbols[fields[-1]] = int(fields[0], 16)
    return symbols


def disassemble(objdump, lib):
    """The file format and, per label, (start, name, [(address, text)])."""
    text = run(objdump, "-d", "--no-show-raw-insn", "-w", lib)
    fmt = re.search(r"file format (\S+)", text)
    functions, current, section = [], None, None
    for line in text.splitlines():
        if line.startswith("Disassembly of section "):
            section = line.split()[-1].rstrip(":")
            continue
        label = LABEL.match(line)
        if label:
            current = (int(label.group(1), 16), label.group(2), section, [])
            functions.append(current)
            continue
        insn = INSTRUCTION.match(line)
        if insn and current is not None:
            body = insn.group(2).split("#")[0].split("//")[0].strip()
            if body and not body.startswith("(bad)"):
                current[3].append((int(insn.group(1), 16), body))
    functions.sort()
    return (fmt.group(1) if fmt else "unknown"), functions


def containing(functions, address):
    """The function whose code holds `address`, or None."""
    found = None
    for function in functions:
        if function[0] > address:
            break
        found = function
    if found and found[3] and address <= found[3][-1][0]:
        return found
    return None


def scan(lib, objdump, roots):
    fmt, functions = disassemble(objdump, lib)
    arch = FORMATS.get(fmt)
    if arch is None:
        # 32-bit ARM can predicate nearly any instruction (condition codes,
        # IT blocks), which a list of mnemonics does not cover.
        print(f"SKIP {lib}: file format {fmt} is not one this check reads "
              f"(x86, x86-64, AArch64)")
        sys.exit(77)
    conditional, direct = ARCHITECTURES[arch]

    symbols = dynamic_symbols(objdump, lib)
    missing = [name for name in roots if name not in symbols]
    if missing:
        sys.exit(f"ERROR {lib}: no exported function {', '.join(missing)}")

    pending = [containing(functions, symbols[name]) for name in roots]
    seen, findings, problems, instructions, left = set(), [], [], 0, set()
    while pending:
        function = pending.pop()
        if function is None or function[0] in seen:
            continue
        seen.add(function[0])
        start, name, section, body = function
        for address, insn in body:
            instructions += 1
            parts = insn.split(None, 1)
            mnemonic, operands = parts[0], parts[1] if len(parts) > 1 else ""
            if mnemonic in ("notrack", "bnd") and operands:
                parts = operands.split(None, 1)
                mnemonic, operands = parts[0], parts[1] if len(parts) > 1 else ""
            if conditional.match(mnemonic):
                findings.append(f"{address:x} <{name}>: {insn}")
            if INDIRECT.match(insn):
                problems.append(f"{address:x} <{name}>: indirect, cannot "
                                f"follow: {insn}")
            if not direct.match(mnemonic):
                continue
            target = TARGET.match(operands.split(",")[-1].strip())
            if not target:
                continue
            callee = containing(functions, int(target.group(1), 16))
            if callee is None:
                problems.append(f"{address:x} <{name}>: target outside the "
                                f"code: {insn}")
            elif callee[2] and callee[2].startswith(".plt"):
                left.add(callee[1])
            elif callee[0] not in seen:
                pending.append(callee)

    reached = sorted(f[1] for f in functions if f[0] in seen)
    print(f"{lib}: {fmt}, from {', '.join(roots)}")
    print(f"  {len(reached)} functions reached, {instructions} instructions "
          f"scanned: {' '.join(reached)}")
    if left:
        print(f"  not followed (PLT): {' '.join(sorted(left))}")
    for line in problems:
        print(f"  {line}")
    for line in findings:
        print(f"  conditional: {line}")
    print(f"  {len(findings)} conditional moves or sets")
    return findings, problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", required=True)
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--root", action="append",
                        help="mangled exported function to start from "
                        "(default: the two cipher operations)")
    parser.add_argument("--expect-fail", action="store_true",
                        help="pass only if a conditional move or set is found")
    args = parser.parse_args()

    findings, problems = scan(args.lib, args.objdump,
                              args.root or CIPHER_OPERATIONS)
    if args.expect_fail:
        # The control must be caught for its conditional ops, not for
        # something the check could not read.
        if findings and not problems:
            print("PASS: the conditional move or set was found")
            return 0
        print("FAIL: expected a conditional move or set, found none")
        return 1
    if findings or problems:
        print("FAIL: the cipher's code selects on flags or cannot be read")
        return 1
    print("PASS: no conditional move or set in the cipher's code")
    return 0


if __name__ == "__main__":
    sys.exit(main())
