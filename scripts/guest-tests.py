#!/usr/bin/env python3
"""Runs some of a build's CTest tests in one boot of a scripts/vm.sh guest.

    guest-tests.py --build DIR --guest NAME [--local DIR]... [--timeout S]
                   [--memcheck BINARY]... [--repeat N] -- [ctest selection args]

CTest itself is a host program, so it only lists the tests (with the given
selection, a test preset say); each test's command, working directory,
environment and timeout go into a script that the guest runs, one test after
the other. The verdicts are then drawn here as CTest draws them (exit status,
FAIL_REGULAR_EXPRESSION, PASS_REGULAR_EXPRESSION, SKIP_RETURN_CODE,
WILL_FAIL), and the last line has CTest's form ("100% tests passed, 0 tests
failed out of N"). Each --memcheck BINARY (a GoogleTest binary that the
listed tests run, by file name) adds a test that runs all of its cases once
under memcheck, as stage f does on the host: no error and no leak.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

MEMCHECK = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite,indirect",
            "--show-leak-kinds=definite,indirect", "--child-silent-after-fork=yes",
            "--num-callers=30"]
# The kernel tests see what the kernel does to the program, and under
# valgrind valgrind does it (it answers for the descriptor table and delivers
# the signals): memcheck runs every case but those.
MEMCHECK_FILTER = "GTEST_FILTER=-*KernelTest.*"


def quote(s):
    return "'" + s.replace("'", "'\\''") + "'"


def ctest_list(build, args):
    # A test preset knows its build; it is read from the source tree.
    where = [] if any(a.startswith("--preset") for a in args) else ["--test-dir", build]
    out = subprocess.run(["ctest"] + where + ["--show-only=json-v1"] + args, cwd=ROOT,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)["tests"]


def props(test):
    return {p["name"]: p["value"] for p in test.get("properties", [])}


def gtest_binaries(build):
    """Every GoogleTest binary that CTest runs, with its working directory."""
    seen = {}
    for test in ctest_list(build, []):
        command = test.get("command", [])
        for i, arg in enumerate(command):
            if arg.startswith("--gtest_filter") and i > 0:
                seen.setdefault(command[i - 1], props(test).get("WORKING_DIRECTORY", build))
                break
    return seen


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--guest", required=True)
    parser.add_argument("--local", action="append", default=[])
    parser.add_argument("--timeout", type=int, default=3000)
    parser.add_argument("--memcheck", action="append", default=[])
    parser.add_argument("--repeat", type=int, default=1,
                        help="run each listed test this many times (runs 2.. are NAME#2..)")
    parser.add_argument("ctest_args", nargs="*")
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    tests = []
    for test in ctest_list(build, args.ctest_args):
        p = props(test)
        env = p.get("ENVIRONMENT", [])
        tests.append({
            "name": test["name"], "command": test["command"],
            "cwd": p.get("WORKING_DIRECTORY", build), "env": env,
            "timeout": int(float(p.get("TIMEOUT", 1500))),
            "fail": p.get("FAIL_REGULAR_EXPRESSION", []),
            "pass": p.get("PASS_REGULAR_EXPRESSION", []),
            "skip": p.get("SKIP_RETURN_CODE"),
            "will_fail": bool(p.get("WILL_FAIL", False)),
        })
    tests = [dict(t, name=t["name"] + (f"#{k}" if k > 1 else ""))
             for t in tests for k in range(1, args.repeat + 1)]
    if args.memcheck:
        binaries = gtest_binaries(build)
        for name in args.memcheck:
            found = [b for b in binaries if os.path.basename(b) == name]
            if not found:
                print(f"guest-tests: no GoogleTest binary {name} in {build}", file=sys.stderr)
                return 1
            tests.append({"name": "memcheck." + name, "command": MEMCHECK + [found[0]],
                          "cwd": binaries[found[0]], "env": [MEMCHECK_FILTER],
                          "timeout": 1500,
                          "fail": [], "pass": [], "skip": None, "will_fail": False})
    if not tests:
        print("No tests were found!!!")
        return 1

    work = os.path.join(build, "guest-tests")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    run = ["cd " + quote(work) + " || exit 125",
           # The page size as the guest's kernel gives it to a process.
           "awk '/^KernelPageSize:/ { print \"guest page size: \" $2 * 1024; exit }' /proc/self/smaps"]
    for i, t in enumerate(tests):
        lines = ["cd " + quote(t["cwd"]) + " || exit 125"]
        lines += ["export %s=%s" % (e.split("=", 1)[0], quote(e.split("=", 1)[1]))
                  for e in t["env"]]
        lines.append("exec " + " ".join(quote(a) for a in t["command"]) + " </dev/null")
        with open(os.path.join(work, f"{i}.sh"), "w") as f:
            f.write("\n".join(lines) + "\n")
        run += [f"echo 'guest: start {t['name']}'",
                "start=$(date +%s)",
                f"timeout -s KILL {t['timeout']} sh {i}.sh >{i}.out 2>&1",
                f"echo $? >{i}.status",
                f"echo $(( $(date +%s) - start )) >{i}.time",
                f"echo \"guest: end {t['name']}: exit $(cat {i}.status) in $(cat {i}.time) s\""]
    with open(os.path.join(work, "run.sh"), "w") as f:
        f.write("\n".join(run) + "\n")

    vm = ["bash", os.path.join(ROOT, "scripts", "vm.sh"), "--guest", args.guest,
          "--timeout", str(args.timeout)]
    for d in args.local:
        vm += ["--local", d]
    start = time.time()
    status = subprocess.run(vm + ["--", "sh", os.path.join(work, "run.sh")], cwd=build).returncode
    print(f"guest-tests: the guest ran for {time.time() - start:.0f} s, exit {status}")

    failed = []
    for i, t in enumerate(tests):
        name, base = t["name"], os.path.join(work, str(i))
        try:
            with open(base + ".status") as f:
                code = int(f.read().strip())
            with open(base + ".time") as f:
                took = f.read().strip()
            with open(base + ".out", errors="replace") as f:
                output = f.read()
        except (OSError, ValueError):
            code, took, output = None, "?", ""
        if code is None:
            ok, why = False, "not run"
        elif code == 137:
            ok, why = False, f"timeout ({t['timeout']} s)"
        elif t["skip"] is not None and code == int(t["skip"]):
            ok, why = True, "skipped"
        else:
            ok = code == 0
            why = f"exit {code}"
            if t["pass"]:
                ok = any(re.search(r, output) for r in t["pass"])
                why += "; pass expression " + ("matched" if ok else "not matched")
            for r in t["fail"]:
                if re.search(r, output):
                    ok, why = False, why + f"; fail expression '{r}' matched"
            if t["will_fail"]:
                ok = not ok
        print(f"{'Passed' if ok else '***Failed'}  {name} ({took} s; {why})")
        if not ok:
            failed.append(name)
            print(output[-20000:])
    total = len(tests)
    passed = total - len(failed)
    print(f"\n{passed * 100 // total}% tests passed, {len(failed)} tests failed out of {total}")
    for name in failed:
        print(f"\t{name} (Failed)")
    return 1 if failed or status != 0 else 0


if __name__ == "__main__":
    sys.exit(main())
