#!/usr/bin/env python3
"""Benchmarks of the uninstaller on the simulated machine, each against a
plain tool doing the same work on an identical copy in the same run.

    python3 bench/run.py [--bin build/native/bin] [--repeat 3] [--only NAME]

- tree-deep-2k / tree-deep-20k: a whole uninstaller run that removes an
  install folder of 2,000 or 20,000 files in 200 or 2,000 folders (about ten
  subfolders a level), against `rm -rf` of the same tree.
- tree-wide: one level of 3,000 subfolders of one file each, which shows what
  starting the listing again after every subfolder costs.
- copy-64m: copying a 64 MiB saved library with the block-wise copy, against
  `cat` of the same file.
- list-100k: entering a file into a boot-time list of 100,000 lines, against
  `sed -i` appending the same line.

Each figure is the median wall time of the repeats.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def make_tree(top, folders, files_per_folder, fanout):
    """Folders filled breadth first, fanout subfolders each, files in every one."""
    os.makedirs(top)
    queue = [top]
    made = 1
    head = 0
    while made < folders:
        parent = queue[head]
        head += 1
        for i in range(fanout):
            if made >= folders:
                break
            child = os.path.join(parent, "folder%02d" % i)
            os.mkdir(child)
            queue.append(child)
            made += 1
    for folder in queue:
        for i in range(files_per_folder):
            with open(os.path.join(folder, "file%02d.dat" % i), "wb") as f:
                f.write(b"x" * 100)


def make_machine(scratch, name):
    root = os.path.join(scratch, name)
    os.makedirs(os.path.join(root, "drive_c", "windows", "system"))
    return root


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, **kwargs)
    return time.perf_counter() - start


def uninstall_tree(bin_dir, scratch, build_tree):
    """One uninstaller run removing the tree, and rm -rf of its twin."""
    root = make_machine(scratch, "machine")
    install = os.path.join(root, "drive_c", "app")
    build_tree(install)
    shutil.copy(os.path.join(bin_dir, "uninstal"), os.path.join(install, "UNINSTAL.EXE"))
    twin = os.path.join(scratch, "twin")
    build_tree(twin)
    env = dict(os.environ, SIMWIN_ROOT=root, SIMWIN_ANSWERS="yes")
    ours = timed([os.path.join(install, "UNINSTAL.EXE"), "-norename"], env=env)
    peer = timed(["rm", "-rf", twin])
    left = sum(len(files) for _, _, files in os.walk(install))
    if left != 1:
        raise SystemExit("the run left %d files, not just the uninstaller" % left)
    shutil.rmtree(root)
    return ours, peer


def copy_64m(bin_dir, scratch):
    root = make_machine(scratch, "machine")
    source = os.path.join(root, "drive_c", "saved.prv")
    with open(source, "wb") as f:
        f.write(os.urandom(64 * 1024 * 1024))
    ours = timed([os.path.join(bin_dir, "bench_tool"), root, "copy", "C:\\saved.prv", "C:\\copy.dll"])
    start = time.perf_counter()
    with open(os.path.join(scratch, "cat.dll"), "wb") as out:
        subprocess.run(["cat", source], check=True, stdout=out)
    peer = time.perf_counter() - start
    with open(os.path.join(root, "drive_c", "copy.dll"), "rb") as a, open(source, "rb") as b:
        if a.read() != b.read():
            raise SystemExit("the copy differs from its source")
    shutil.rmtree(root)
    os.remove(os.path.join(scratch, "cat.dll"))
    return ours, peer


def list_100k(bin_dir, scratch):
    root = make_machine(scratch, "machine")
    text = "[rename]\r\n" + "".join("NUL=C:\\OTHER\\FILE%06d.TMP\r\n" % i for i in range(100000))
    listing = os.path.join(root, "drive_c", "windows", "wininit.ini")
    twin = os.path.join(scratch, "wininit.ini")
    for path in (listing, twin):
        with open(path, "w", newline="") as f:
            f.write(text)
    ours = timed([os.path.join(bin_dir, "bench_tool"), root, "schedule",
                  "C:\\WINDOWS\\wininit.ini", "C:\\WINDOWS\\SYSTEM\\", "QUILLFEN.CPL"])
    peer = timed(["sed", "-i", "$a NUL=C:\\\\WINDOWS\\\\SYSTEM\\\\QUILLFEN.CPL\\r", twin])
    with open(listing, "rb") as f:
        if not f.read().endswith(b"NUL=C:\\WINDOWS\\SYSTEM\\QUILLFEN.CPL\r\n"):
            raise SystemExit("the entry is not at the end of the list")
    shutil.rmtree(root)
    os.remove(twin)
    return ours, peer


def benchmarks(bin_dir):
    return {
        "tree-deep-2k": ("rm -rf", lambda s: uninstall_tree(
            bin_dir, s, lambda top: make_tree(top, 200, 10, 10))),
        "tree-deep-20k": ("rm -rf", lambda s: uninstall_tree(
            bin_dir, s, lambda top: make_tree(top, 2000, 10, 10))),
        "tree-wide": ("rm -rf", lambda s: uninstall_tree(
            bin_dir, s, lambda top: make_tree(top, 3001, 1, 3000))),
        "copy-64m": ("cat", lambda s: copy_64m(bin_dir, s)),
        "list-100k": ("sed -i", lambda s: list_100k(bin_dir, s)),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "native", "bin"))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.bin)
    work = os.path.join(HERE, "..", "build", "bench-scratch")
    os.makedirs(work, exist_ok=True)
    results = {}
    print("%-14s %10s %10s %8s  %s" % ("benchmark", "ours (s)", "peer (s)", "ratio", "peer"))
    for name, (peer_name, run) in benchmarks(bin_dir).items():
        if args.only and args.only != name:
            continue
        ours, peers = [], []
        for _ in range(args.repeat):
            scratch = tempfile.mkdtemp(dir=work)
            try:
                a, b = run(scratch)
            finally:
                subprocess.run(["chmod", "-R", "u+w", scratch])
                shutil.rmtree(scratch, ignore_errors=True)
            ours.append(a)
            peers.append(b)
        a, b = statistics.median(ours), statistics.median(peers)
        results[name] = a
        print("%-14s %10.3f %10.3f %8.2f  %s" % (name, a, b, a / b, peer_name))
        sys.stdout.flush()
    if "tree-deep-2k" in results and "tree-deep-20k" in results:
        print("growth from 2,000 to 20,000 files: %.1fx the time for 10x the files"
              % (results["tree-deep-20k"] / results["tree-deep-2k"]))


if __name__ == "__main__":
    main()
