#!/usr/bin/env python3
"""Fault sweep: a full uninstall on the simulated machine, run once for every
call of every fallible operation with that one call failing.

    python3 tests/faults/sweep.py --bin build/native/bin [-j N] [-v]

The run restores the saved library, finds the applet in use (so the boot-time
list of other programs is rewritten twice) and removes a nested install
folder. After each run it checks what must hold whatever failed:
- the process ended by itself, with exit code 0 or 1;
- the system opengl32.dll is the product's file untouched, the saved library
  byte for byte, or absent: never anything in between;
- wininit.ini is the old list, or the old list with complete new entries in
  its first [rename] section;
- no file outside the install folder changed, apart from the product's own
  files in the system folder, and nothing of ours was left behind there.
"""
import argparse
import concurrent.futures
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

PRODUCT_FILES = {"opengl32.dll", "qfn_d3d.dll", "qfn_sw.dll", "qxhelp.vxd", "opengl32.prv",
                 "quillfen.cpl"}
INSTALL = os.path.join("Program Files", "Korvane", "Quillfen")
SAVED = bytes((i * 131 + 7 + (i >> 9)) & 0xFF for i in range(100000))
PRODUCT = b"the product's opengl32.dll\n"
OLD_LIST = (b"[rename]\r\nNUL=C:\\WINDOWS\\TEMP\\A.TMP\r\n"
            b"C:\\WINDOWS\\NEW.DLL=C:\\WINDOWS\\OLD.DLL\r\n[other]\r\nkey=value\r\n")
ENTRY_APPLET = b"NUL=C:\\WINDOWS\\SYSTEM\\QUILLFEN.CPL\r\n"
SPLIT = OLD_LIST.index(b"[other]")


def allowed_lists(short_install):
    # Without a short form of the install folder its long form is entered.
    lists = {OLD_LIST}
    for install in (short_install, b"C:\\" + INSTALL.replace(os.sep, "\\").encode()):
        entry_self = b"NUL=" + install + b"\\UNINSTAL.EXE\r\n"
        for entries in (ENTRY_APPLET, entry_self, ENTRY_APPLET + entry_self):
            lists.add(OLD_LIST[:SPLIT] + entries + OLD_LIST[SPLIT:])
    return lists


def lay_out(root, bin_dir):
    c = os.path.join(root, "drive_c")
    system = os.path.join(c, "windows", "system")
    install = os.path.join(c, INSTALL)
    os.makedirs(system)
    for sub in ("docs", os.path.join("data", "levels"), os.path.join("data", "empty")):
        os.makedirs(os.path.join(install, sub))
    files = {
        os.path.join(system, "opengl32.dll"): PRODUCT,
        os.path.join(system, "qfn_d3d.dll"): b"d3d",
        os.path.join(system, "qfn_sw.dll"): b"sw",
        os.path.join(system, "qxhelp.vxd"): b"vxd",
        os.path.join(system, "opengl32.prv"): b"prv",
        os.path.join(system, "QUILLFEN.CPL"): b"applet",
        os.path.join(system, "kernel32.dll"): b"not ours",
        os.path.join(c, "windows", "wininit.ini"): OLD_LIST,
        os.path.join(c, "other", "keep.txt"): b"keep",
        os.path.join(install, "opengl32.prv"): SAVED,
        os.path.join(install, "opengl32.vr1"): b"vr1",
        os.path.join(install, "install.log"): b"log",
        os.path.join(install, "docs", "readme.txt"): b"readme",
        os.path.join(install, "data", "levels", "one.dat"): b"1" * 5000,
        os.path.join(install, "data", ".cfg"): b"cfg",
    }
    for path, data in files.items():
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.chmod(os.path.join(install, "docs", "readme.txt"), 0o444)
    shutil.copy(os.path.join(bin_dir, "uninstal"), os.path.join(install, "UNINSTAL.EXE"))
    with open(os.path.join(install, "uninstal.000"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(os.path.join(install, "uninstal.000"), 0o755)
    return c, system, install


def outside_install(c):
    """Hash of every file outside the install folder, by path below C:."""
    result = {}
    for folder, dirs, files in os.walk(c):
        rel = os.path.relpath(folder, c)
        if rel == INSTALL or rel.startswith(INSTALL + os.sep):
            continue
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                result[os.path.relpath(path, c)] = hashlib.sha256(f.read()).hexdigest()
    return result


def is_ours(rel):
    folder, name = os.path.split(rel)
    return folder == os.path.join("windows", "system") and name.lower() in PRODUCT_FILES


def run_once(bin_dir, fault, calls_file=None):
    """Runs the uninstall with one fault; returns the list of violations."""
    root = tempfile.mkdtemp(prefix="quillfen-sweep-")
    holder = None
    try:
        c, system, install = lay_out(root, bin_dir)
        before = outside_install(c)
        # The control panel has the applet open: a lock of ours, which the
        # uninstaller sees as another process's.
        holder = open(os.path.join(system, "QUILLFEN.CPL"), "rb")
        fcntl.flock(holder, fcntl.LOCK_SH)
        env = dict(os.environ, SIMWIN_ROOT=root, SIMWIN_ANSWERS="yes,ok,ok")
        env.pop("SIMWIN_FAIL", None)
        if fault:
            env["SIMWIN_FAIL"] = fault
        if calls_file:
            env["SIMWIN_CALLS"] = calls_file
        short = subprocess.run([os.path.join(bin_dir, "simwin_tool"), "shortpath",
                                "C:\\" + INSTALL.replace(os.sep, "\\")],
                               env=dict(os.environ, SIMWIN_ROOT=root), capture_output=True,
                               text=True).stdout.strip().rstrip("\\")
        problems = []
        try:
            proc = subprocess.run([os.path.join(install, "UNINSTAL.EXE")], env=env, timeout=120,
                                  capture_output=True)
            if proc.returncode not in (0, 1):
                problems.append("ended with %d: %s" % (proc.returncode, proc.stderr[-500:]))
        except subprocess.TimeoutExpired:
            problems.append("did not end")

        library = os.path.join(system, "opengl32.dll")
        data = None
        if os.path.exists(library):
            with open(library, "rb") as f:
                data = f.read()
            if data not in (PRODUCT, SAVED):
                problems.append("opengl32.dll is partial (%d bytes)" % len(data))
        with open(os.path.join(c, "windows", "wininit.ini"), "rb") as f:
            listed = f.read()
        if listed not in allowed_lists(short.encode("latin-1")):
            problems.append("wininit.ini is neither old nor complete: %r" % listed)
        if not fault:
            # Without a fault everything is done, so every fault has work to break.
            complete = OLD_LIST[:SPLIT] + ENTRY_APPLET + b"NUL=" + short.encode() + \
                b"\\UNINSTAL.EXE\r\n" + OLD_LIST[SPLIT:]
            if listed != complete or data != SAVED:
                problems.append("the run without a fault did not do everything")

        after = outside_install(c)
        for rel in sorted(set(before) | set(after)):
            if is_ours(rel) or rel == os.path.join("windows", "wininit.ini") or rel == "engine.txt":
                continue
            if before.get(rel) != after.get(rel):
                what = "left behind" if rel not in before else "changed or removed"
                problems.append("%s: %s" % (what, rel))
        return problems
    finally:
        if holder:
            holder.close()
        subprocess.run(["chmod", "-R", "u+w", root])
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True)
    parser.add_argument("-j", type=int, default=os.cpu_count())
    parser.add_argument("-v", action="store_true")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.bin)

    calls_file = tempfile.mktemp(prefix="quillfen-calls-")
    problems = run_once(bin_dir, None, calls_file)
    if problems:
        print("the run without faults already fails: %s" % problems)
        return 1
    counts = {}
    with open(calls_file) as f:
        for line in f:
            op, count = line.split()
            counts[op] = int(count)
    os.remove(calls_file)

    faults = ["%s:%d" % (op, k) for op, n in sorted(counts.items()) for k in range(1, n + 1)]
    # Windows 9x has no replacing rename: the list is then replaced in two steps.
    faults += ["MoveFileExA:%d:120" % k for k in range(1, counts.get("MoveFileExA", 0) + 1)]

    violations = 0
    with concurrent.futures.ThreadPoolExecutor(args.j) as pool:
        for fault, found in zip(faults, pool.map(lambda f: run_once(bin_dir, f), faults)):
            if found:
                violations += 1
                print("FAIL %s: %s" % (fault, "; ".join(found)))
            elif args.v:
                print("ok   %s" % fault)
    print("calls per operation: %s" % ", ".join("%s %d" % kv for kv in sorted(counts.items())))
    print("faults injected: %d, runs with violations: %d" % (len(faults), violations))
    print("%d passed, %d failed" % (len(faults) - violations, violations))
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
