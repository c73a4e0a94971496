#!/usr/bin/env python3
"""Runs the sealing recipes of README.md as they stand there, and opens what
they make with the library (nativeDecrypt, in a real JVM) and with
rootchecker-seal verify.

A recipe is the fenced block right after a line `<!-- recipe: NAME -->`:
`openssl` runs in /bin/sh, `java` is saved as Seal.java and run as
`java Seal.java`. Each runs in a folder of its own holding
secrets/app_key.hex and password.txt, and must write blob.hex and blob.b64.

With --control, the runner is run on mutated copies of the recipes (the IV
not written first, and the like): each must fail, or the runner could not
catch such a mistake in the README.
"""
import argparse
import base64
import binascii
import os
import re
import secrets
import shutil
import subprocess
import sys

RECIPE = re.compile(r"^<!-- recipe: (\S+) -->\n```\w*\n(.*?)^```$", re.M | re.S)
RECIPES = ("openssl", "java")

# (key, content of password.txt, the password it seals). "build" is the key
# the library was built with; "other" a fresh one, written as a key file may
# be (upper case, whitespace around), that the library must not open.
CASES = [
    ("build", b"correct horse battery staple", None),
    ("build", "grüße 'q' \"dq\" $HOME `id` \\ * -n %s".encode(), None),
    ("build", b"0123456789abcdef", None),  # a whole block of padding
    ("build", b"pw\n", b"pw"),  # as `echo pw > password.txt` writes it
    ("build", b"correct horse battery staple", None),  # a fresh IV again
    ("other", b"sealed under another key", None),
]

# (recipe, what goes wrong, pattern, replacement): each must fail the check.
MUTATIONS = [
    ("openssl", "the ciphertext overwrites the IV ('>' for '>>')",
     r'-iv "\$iv" >> blob\.bin', '-iv "$iv" > blob.bin'),
    ("openssl", "a key from a passphrase (-pass) instead of -K/-iv",
     r'-K "\$key" -iv "\$iv"', '-pbkdf2 -pass "pass:$key"'),
    ("java", "the IV not copied in front of the ciphertext",
     r"^ *System\.arraycopy\(iv, 0, blob, 0, 16\);.*\n", ""),
]


def extract(readme):
    found = {}
    for m in RECIPE.finditer(readme):
        if m.group(1) in found:
            raise SystemExit(f"README: recipe {m.group(1)!r} twice")
        found[m.group(1)] = m.group(2)
    missing = [r for r in RECIPES if r not in found]
    if missing:
        raise SystemExit(f"README: no recipe {missing} (a line <!-- recipe: NAME --> before a fenced block)")
    return found


class Checker:
    def __init__(self, args, work):
        self.a = args
        self.work = work
        self.build_key = open(args.key_file).read().strip()
        self.other_key = secrets.token_hex(16)
        self.failures = []

    def fail(self, what):
        self.failures.append(what)
        print("FAIL: " + what)

    def shell(self, case):
        # The README names sh and bash: the cases take turns.
        shells = ["/bin/sh"] + [s for s in ("bash",) if shutil.which(s)]
        return shells[case % len(shells)]

    def run_recipe(self, name, text, folder, case):
        if name == "openssl":
            command = [self.shell(case), "-c", text]
        else:
            with open(os.path.join(folder, "Seal.java"), "w") as f:
                f.write(text)
            command = [self.a.java, "Seal.java"]
        return subprocess.run(command, cwd=folder, capture_output=True, timeout=300)

    def verify(self, folder, file, fmt):
        return subprocess.run(
            [self.a.seal, "verify", "--key-file", "secrets/app_key.hex", "--show",
             "--format", fmt, "--in", file],
            cwd=folder, capture_output=True, timeout=120)

    def check(self, name, text, stop_early=False):
        """Runs recipe `name` on every case; returns the blobs for the JVM."""
        opened = []  # (label, blob file, password, key)
        ivs = {}
        for i, (key, content, sealed) in enumerate(CASES):
            if stop_early and self.failures:
                break
            password = content if sealed is None else sealed
            where = f", {os.path.basename(self.shell(i))}" if name == "openssl" else ""
            label = f"{name} #{i} ({key} key, {len(password)}-byte password{where})"
            folder = os.path.join(self.work, f"{name}-{i}")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(os.path.join(folder, "secrets"))
            key_hex = self.build_key if key == "build" else self.other_key
            key_text = key_hex + "\n" if key == "build" else "  " + key_hex.upper() + " \n\n"
            with open(os.path.join(folder, "secrets", "app_key.hex"), "w") as f:
                f.write(key_text)
            with open(os.path.join(folder, "password.txt"), "wb") as f:
                f.write(content)
            r = self.run_recipe(name, text, folder, i)
            if r.returncode != 0:
                self.fail(f"{label}: the recipe exits {r.returncode}: {r.stderr.decode(errors='replace')}")
                continue
            try:
                from_hex = binascii.unhexlify("".join(open(os.path.join(folder, "blob.hex")).read().split()))
                from_b64 = base64.b64decode("".join(open(os.path.join(folder, "blob.b64")).read().split()), validate=True)
            except (OSError, ValueError) as e:
                self.fail(f"{label}: blob.hex or blob.b64 missing or malformed: {e}")
                continue
            if from_hex != from_b64:
                self.fail(f"{label}: blob.hex and blob.b64 hold different bytes")
                continue
            ivs[label] = from_hex[:16]
            for file, fmt in (("blob.hex", "hex"), ("blob.b64", "base64")):
                v = self.verify(folder, file, fmt)
                out = v.stdout.split(b"\n", 1)
                shown = out[1][:-1] if len(out) == 2 else None
                if v.returncode != 0 or shown != password:
                    self.fail(f"{label}: rootchecker-seal verify --format {fmt} exits {v.returncode}, "
                              f"shows {shown!r}, want {password!r}: {v.stderr.decode(errors='replace').strip()}")
            opened.append((label, os.path.join(folder, "blob.hex"), password, key))
        # Every blob has an IV of its own (the same password twice included).
        seen = {}
        for label, iv in ivs.items():
            if iv in seen:
                self.fail(f"{label}: the same first 16 bytes (IV) as {seen[iv]}")
            seen[iv] = label
        return opened

    def open_in_jvm(self, opened):
        if not opened:
            return
        classes = os.path.join(self.work, "opener")
        os.makedirs(classes, exist_ok=True)
        subprocess.run([self.a.javac, "-cp", self.a.jar, "-d", classes, self.a.opener],
                       check=True, timeout=300)
        r = subprocess.run(
            [self.a.jvm, "-Xcheck:jni", "-Djava.library.path=" + self.a.libdir,
             "-cp", self.a.jar + os.pathsep + classes, "OpenBlob"] + [o[1] for o in opened],
            capture_output=True, timeout=300)
        lines = r.stdout.decode().splitlines()
        if r.returncode != 0 or len(lines) != len(opened) or b"WARNING" in r.stderr:
            self.fail(f"nativeDecrypt in the JVM: exit {r.returncode}, {len(lines)} lines for "
                      f"{len(opened)} blobs: {r.stderr.decode(errors='replace')}")
            return
        for (label, _, password, key), line in zip(opened, lines):
            got = binascii.unhexlify(line[len("password "):]) if line.startswith("password ") else None
            if key == "build" and got != password:
                self.fail(f"{label}: nativeDecrypt gives {got!r}, want {password!r}")
            elif key != "build" and got == password:
                self.fail(f"{label}: nativeDecrypt opens a blob sealed under another key")


def main():
    p = argparse.ArgumentParser()
    for option in ("readme", "seal", "java", "javac", "jvm", "libdir", "jar", "opener",
                   "key-file", "work"):
        p.add_argument("--" + option, required=True)
    p.add_argument("--control", action="store_true")
    a = p.parse_args()
    # The recipes run in folders of their own: every path absolute.
    for option in ("readme", "seal", "javac", "jvm", "libdir", "jar", "opener", "key_file", "work"):
        setattr(a, option, os.path.abspath(getattr(a, option)))
    os.makedirs(a.work, exist_ok=True)
    recipes = extract(open(a.readme, encoding="utf-8").read())

    if not a.control:
        checker = Checker(a, os.path.join(a.work, "recipes"))
        opened = []
        for name in RECIPES:
            opened += checker.check(name, recipes[name])
        checker.open_in_jvm(opened)
        for label, _, _, key in opened:
            if not any(f.startswith(label) for f in checker.failures):
                print(f"ok: {label}: verify gives the password back, and nativeDecrypt "
                      + ("too" if key == "build" else "does not (not the library's key)"))
        return 1 if checker.failures else 0

    status = 0
    for i, (name, what, pattern, replacement) in enumerate(MUTATIONS):
        mutated, n = re.subn(pattern, replacement, recipes[name], flags=re.M)
        if n != 1:
            print(f"FAIL: control {name}: {what}: the pattern matches {n} times in the "
                  "README's recipe; update the control to the recipe")
            status = 1
            continue
        print(f"--- control {name}: {what}")
        checker = Checker(a, os.path.join(a.work, f"control-{i}"))
        opened = checker.check(name, mutated, stop_early=True)
        if not checker.failures:
            checker.open_in_jvm(opened)
        if checker.failures:
            print(f"ok: control {name}: {what}: caught")
        else:
            print(f"FAIL: control {name}: {what}: the runner did not catch it")
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
