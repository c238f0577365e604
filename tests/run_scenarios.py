#!/usr/bin/env python3
"""Runs the uninstaller's scenarios on machines of one build.

Each scenario file (format: scenarios/README.md) describes a machine, a run of
UNINSTAL.EXE and what must hold afterwards. Every scenario, and every case of
one, gets a fresh machine in a temporary folder of its own.

    run_scenarios.py --build native --bin build/native/bin tests/scenarios
"""

import argparse
import concurrent.futures
import copy
import importlib
import json
import os
import re
import shutil
import signal
import stat
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from machines import BUTTONS_BY_STYLE, Unsupported  # noqa: E402

DEFAULT_INSTALL_DIR = "C:\\APP"
ENGINE_RECORD = "C:\\engine.txt"
SHOWN_DIFFERENCES = 5
# The engine stand-in writes its record half a second after it starts. A
# record that should come is waited for this long, and a run that must not
# start the engine is given this long to show that it did.
ENGINE_GRACE_SECONDS = 2.0

SCENARIO_KEYS = {"title", "install_dir", "args", "machine", "expect", "cases", "vars"}
MACHINE_KEYS = {"absent", "files", "dirs", "readonly_dirs", "links", "engine"}
EXPECT_KEYS = {"exit_code", "boxes", "files", "present", "absent", "engine", "boot_deletes"}
FILE_KEYS = {"path", "text", "bytes", "repeat", "parts", "readonly", "in_use"}
BOX_KEYS = {"caption", "text", "style", "answer"}
NAME_PATTERN = re.compile(r"%([A-Z][A-Z0-9_]*)%")


class ScenarioError(Exception):
    """The scenario file itself is wrong."""


# ---------------------------------------------------------------- loading


def load_scenarios(paths):
    """Every scenario (one per case) named by paths: files, or folders whose
    *.json files are taken in name order. Returns (name, scenario or error)."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            files += sorted(os.path.join(path, name) for name in os.listdir(path)
                            if name.endswith(".json"))
        else:
            files.append(path)
    loaded = []
    for path in files:
        stem = os.path.splitext(os.path.basename(path))[0]
        try:
            with open(path, encoding="utf-8") as source:
                loaded += expand_cases(stem, json.load(source))
        except (OSError, ValueError, ScenarioError) as error:
            loaded.append((stem, ScenarioError(f"{path}: {error}")))
    return loaded


def expand_cases(stem, scenario):
    """The runs of one scenario file: itself, or one per entry of "cases",
    each merged over the rest of the file."""
    if not isinstance(scenario, dict):
        raise ScenarioError("a scenario is a JSON object")
    base = dict(scenario)
    cases = base.pop("cases", None)
    if cases is None:
        return [(stem, prepare(base, base.pop("vars", {})))]
    runs = []
    for case in cases:
        case = dict(case)
        if "name" not in case:
            raise ScenarioError('every case needs a "name"')
        name = f"{stem}[{case.pop('name')}]"
        variables = {**base.get("vars", {}), **case.pop("vars", {})}
        merged = merge(base, case)
        merged.pop("vars", None)
        runs.append((name, prepare(merged, variables)))
    return runs


def merge(base, override):
    """override laid over base: objects merged key by key, anything else
    (lists included) replaced."""
    if not isinstance(base, dict) or not isinstance(override, dict):
        return copy.deepcopy(override)
    merged = copy.deepcopy(base)
    for key, value in override.items():
        merged[key] = merge(merged[key], value) if key in merged else copy.deepcopy(value)
    return merged


def prepare(scenario, variables):
    """The scenario with its variables filled in, checked for unknown keys."""
    scenario = substitute(scenario, variables, keep_unknown=True)
    check_keys(scenario, SCENARIO_KEYS - {"cases", "vars"}, "scenario")
    machine = scenario.setdefault("machine", {})
    expect = scenario.get("expect")
    check_keys(machine, MACHINE_KEYS, "machine")
    if not isinstance(expect, dict):
        raise ScenarioError('no "expect" object')
    check_keys(expect, EXPECT_KEYS, "expect")
    for key in ("exit_code", "boxes"):
        if key not in expect:
            raise ScenarioError(f'"expect" needs "{key}"')
    for entry in machine.get("files", []) + expect.get("files", []):
        check_keys(entry, FILE_KEYS, "file")
        content_of(entry)
    for box in expect["boxes"]:
        check_keys(box, BOX_KEYS, "box")
        answer_of(box)
    return scenario


def check_keys(obj, allowed, where):
    if not isinstance(obj, dict):
        raise ScenarioError(f"{where} is not a JSON object")
    unknown = sorted(set(obj) - allowed)
    if unknown:
        raise ScenarioError(f"unknown key(s) in {where}: {', '.join(unknown)}")


def substitute(value, names, keep_unknown=False):
    """value with every %NAME% in its strings replaced. A string that is
    nothing but %NAME% takes the name's value whatever its type."""
    if isinstance(value, dict):
        return {key: substitute(item, names, keep_unknown) for key, item in value.items()}
    if isinstance(value, list):
        return [substitute(item, names, keep_unknown) for item in value]
    if not isinstance(value, str):
        return value
    whole = NAME_PATTERN.fullmatch(value)
    if whole and whole.group(1) in names and not isinstance(names[whole.group(1)], str):
        return names[whole.group(1)]

    def fill(match):
        if match.group(1) in names:
            return str(names[match.group(1)])
        if keep_unknown:
            return match.group(0)
        raise ScenarioError(f"unknown name {match.group(0)} in {value!r}")

    return NAME_PATTERN.sub(fill, value)


# ---------------------------------------------------------------- contents


def _shift_tables():
    return [bytes((b + k) & 0xFF for b in range(256)) for k in range(256)]


_SHIFTS = _shift_tables()
_BLOCK = bytes((i * 131) & 0xFF for i in range(512))


def generated_bytes(size, seed):
    """size bytes, byte i being (i * 131 + seed * 17 + (i >> 9)) & 0xFF."""
    # 512 * 131 is a multiple of 256, so every block of 512 bytes is the
    # first one shifted by seed * 17 + its number.
    blocks = [_BLOCK.translate(_SHIFTS[(seed * 17 + k) & 0xFF]) for k in range(size // 512 + 1)]
    return b"".join(blocks)[:size]


def content_of(entry):
    """The bytes a file entry stands for, or None when it gives none."""
    if "parts" in entry:
        # Content pieced together, e.g. a head, a line many times, a tail.
        if not isinstance(entry["parts"], list):
            raise ScenarioError(f"{entry.get('path')}: parts must be a list")
        return b"".join(content_of(part) or b"" for part in entry["parts"])
    if "repeat" in entry:
        once = content_of({key: value for key, value in entry.items() if key != "repeat"})
        if once is None or not isinstance(entry["repeat"], int) or entry["repeat"] < 0:
            raise ScenarioError(f"{entry.get('path')}: repeat needs a content and a count")
        return once * entry["repeat"]
    if "text" in entry and "bytes" in entry:
        raise ScenarioError(f"{entry.get('path')}: both text and bytes")
    if "text" in entry:
        try:
            return entry["text"].encode("latin-1")
        except (AttributeError, UnicodeEncodeError):
            raise ScenarioError(f"{entry.get('path')}: text must hold characters up to \\u00ff")
    if "bytes" in entry:
        generator = entry["bytes"]
        if not isinstance(generator, dict) or set(generator) != {"size", "seed"}:
            raise ScenarioError(f'{entry.get("path")}: bytes needs exactly "size" and "seed"')
        return generated_bytes(generator["size"], generator["seed"])
    return None


def answer_of(box):
    if "answer" in box:
        if box["answer"] not in ("yes", "no", "ok"):
            raise ScenarioError(f"box answer {box['answer']!r} is not yes, no or ok")
        return box["answer"]
    if BUTTONS_BY_STYLE.get(box.get("style", 0) & 0xF) == ["ok"]:
        return "ok"
    raise ScenarioError(f"box {box.get('caption')!r} needs an answer")


# ---------------------------------------------------------------- one run


class Scratch:
    """The temporary folders of this run and the machines alive in them."""

    def __init__(self, keep):
        self.keep = keep
        self.folder = tempfile.mkdtemp(prefix="uninstal-scenarios-")
        self.lock = threading.Lock()
        self.machines = set()
        self.stopping = False

    def new_folder(self, name):
        return tempfile.mkdtemp(prefix=re.sub(r"[^\w.-]", "_", name) + "-", dir=self.folder)

    def add(self, machine):
        """False when the run is being stopped: the machine is not used."""
        with self.lock:
            if not self.stopping:
                self.machines.add(machine)
                return True
        machine.close()
        return False

    def discard(self, machine):
        with self.lock:
            self.machines.discard(machine)

    def stop(self):
        """Ends every machine still alive (from the main thread, on Ctrl-C)."""
        with self.lock:
            self.stopping = True
            machines = list(self.machines)
        for machine in machines:
            machine.close()

    def remove(self, folder):
        if not self.keep:
            remove_tree(folder)


def remove_tree(folder):
    """Removes folder and everything below it, as far as it can."""

    def make_writable(function, path, error):
        if isinstance(error[1], FileNotFoundError):
            return
        try:
            parent = os.path.dirname(path)
            os.chmod(parent, os.stat(parent).st_mode | stat.S_IWUSR | stat.S_IXUSR)
            function(path)
        except OSError as again:
            print(f"cannot remove {path}: {again}", file=sys.stderr)

    shutil.rmtree(folder, onerror=make_writable)


class Outcome:
    def __init__(self, name, status, differences=(), folder=None):
        self.name = name
        self.status = status  # PASS, FAIL or SKIP
        self.differences = list(differences)
        self.folder = folder


def run_one(name, scenario, backend, options, scratch):
    if isinstance(scenario, Exception):
        return Outcome(name, "FAIL", [f"scenario error: {scenario}"])
    folder = scratch.new_folder(name)
    artifacts = None
    if options.artifacts:
        artifacts = os.path.join(options.artifacts, re.sub(r"[^\w.\[\]-]", "_", name))
        os.makedirs(artifacts, exist_ok=True)
    machine = None
    try:
        machine = backend.Machine(options.bin, folder, artifacts)
        if not scratch.add(machine):
            return Outcome(name, "SKIP", ["interrupted"], folder)
        differences = Run(machine, scenario, options.timeout).differences()
        return Outcome(name, "FAIL" if differences else "PASS", differences, folder)
    except Unsupported as reason:
        return Outcome(name, "SKIP", [str(reason)], folder)
    except ScenarioError as error:
        return Outcome(name, "FAIL", [f"scenario error: {error}"], folder)
    except Exception:  # a failing machine fails its scenario, not the run
        lines = traceback.format_exc().rstrip().splitlines()
        return Outcome(name, "FAIL", ["machine error: " + lines[-1]] + lines[-6:-1], folder)
    finally:
        if machine is not None:
            machine.close()
            scratch.discard(machine)
        scratch.remove(folder)


class Run:
    """One scenario on one machine: lay out, run, compare."""

    def __init__(self, machine, scenario, timeout):
        self.machine = machine
        self.scenario = scenario
        self.timeout = timeout
        self.install_dir = scenario.get("install_dir", DEFAULT_INSTALL_DIR).rstrip("\\")
        self.found = []

    def differences(self):
        machine, scenario = self.machine, self.scenario
        layout = scenario["machine"]
        machine.install(self.install_dir, layout.get("engine", True))
        names = {"WINDOWS": machine.windows_dir, "SYSTEM": machine.system_dir,
                 "INSTALL": self.install_dir}
        if "%SHORTINSTALL%" in json.dumps(scenario):
            names["SHORTINSTALL"] = machine.short_path(self.install_dir)
        layout = substitute(layout, names)
        expect = substitute(scenario["expect"], names)
        self.lay_out(layout)

        command_line = f'"{self.install_dir}\\UNINSTAL.EXE"'
        if scenario.get("args", ""):
            command_line += " " + scenario["args"]
        answers = [answer_of(box) for box in expect["boxes"]]
        result = machine.run(command_line, answers, self.timeout)
        if "engine" in expect and expect["engine"] is None:
            time.sleep(ENGINE_GRACE_SECONDS)

        self.check_exit(expect["exit_code"], result)
        self.check_boxes(expect["boxes"], result.boxes)
        self.check_files(expect.get("files", []))
        for path in expect.get("present", []):
            if not os.path.lexists(machine.host(path)):
                self.found.append(f"{path}: missing, expected present")
        for path in expect.get("absent", []):
            if os.path.lexists(machine.host(path)):
                self.found.append(f"{path}: present, expected absent")
        if "engine" in expect:
            self.check_engine(expect["engine"])
        if "boot_deletes" in expect:
            self.check_boot(expect["boot_deletes"], layout, expect)
        return self.found

    def lay_out(self, layout):
        host = self.machine.host
        for path in layout.get("absent", []):
            target = host(path)
            if os.path.isdir(target) and not os.path.islink(target):
                remove_tree(target)
            elif os.path.lexists(target):
                os.remove(target)
        for path in layout.get("dirs", []):
            os.makedirs(host(path), exist_ok=True)
        for entry in layout.get("files", []):
            target = host(entry["path"])
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as out:
                out.write(content_of(entry) or b"")
            if entry.get("readonly"):
                os.chmod(target, os.stat(target).st_mode & ~0o222)
        for link in layout.get("links", []):
            self.machine.link(link["path"], link["target"])
        for path in layout.get("readonly_dirs", []):
            target = host(path)
            os.chmod(target, os.stat(target).st_mode & ~0o222)
        for entry in layout.get("files", []):
            if entry.get("in_use"):
                self.machine.hold(entry["path"])

    def check_exit(self, expected, result):
        if result.timed_out:
            self.found.append(f"did not end within {self.timeout} s")
        elif result.exit_code != expected:
            log = f" ({first_line(result.log)})" if result.log else ""
            self.found.append(f"exit code: expected {expected}, got {result.exit_code}{log}")

    def check_boxes(self, expected, got):
        for number in range(1, max(len(expected), len(got)) + 1):
            want = expected[number - 1] if number <= len(expected) else None
            box = got[number - 1] if number <= len(got) else None
            where = f"box {number}"
            if box is None:
                self.found.append(f"{where}: expected {want['caption']!r}, none came")
                continue
            if want is None:
                self.found.append(f"{where}: unexpected {box['caption']!r}: {box['text']!r}")
                continue
            for key in ("caption", "text"):
                if box[key] != want[key]:
                    self.found.append(f"{where} {key}:" + compare_text(want[key], box[key]))
            self.check_style(where, want, box)
            if box["answer"] != answer_of(want):
                self.found.append(
                    f"{where} answered {box['answer']!r}, expected {answer_of(want)!r}")

    def check_style(self, where, want, box):
        style = want.get("style")
        if style is None:
            return
        if box.get("style") is not None:
            if box["style"] != style:
                self.found.append(f"{where} style: expected {style} ({style:#06x}), "
                                  f"got {box['style']} ({box['style']:#06x})")
            return
        buttons = BUTTONS_BY_STYLE.get(style & 0xF)
        if box.get("buttons") is not None and sorted(box["buttons"]) != sorted(buttons):
            self.found.append(f"{where} buttons: expected {buttons}, got {box['buttons']}")

    def check_files(self, entries):
        for entry in entries:
            path = self.machine.host(entry["path"])
            if not os.path.isfile(path):
                state = "a folder" if os.path.isdir(path) else "missing"
                self.found.append(f"{entry['path']}: {state}, expected a file")
                continue
            with open(path, "rb") as source:
                got = source.read()
            want = content_of(entry)
            if want is None or got == want:
                continue
            if "text" in entry:
                self.found.append(f"{entry['path']}:" + compare_text(
                    want.decode("latin-1"), got.decode("latin-1")))
            else:
                self.found.append(f"{entry['path']}: " + compare_bytes(want, got))

    def check_engine(self, expected):
        record = self.machine.host(ENGINE_RECORD)
        # An engine that was not waited for may still be at work.
        deadline = time.monotonic() + ENGINE_GRACE_SECONDS
        while expected is not None and not os.path.isfile(record) and time.monotonic() < deadline:
            time.sleep(0.1)
        if not os.path.isfile(record):
            if expected is not None:
                self.found.append("engine: not started (no C:\\engine.txt)")
            return
        with open(record, "rb") as source:
            lines = source.read().decode("latin-1").splitlines()
        got = dict(line.split("=", 1) for line in lines if "=" in line)
        if expected is None:
            self.found.append(f"engine: started ({got.get('cmdline')!r}), expected not started")
            return
        for key, value in expected.items():
            if got.get(key) != value:
                self.found.append(f"engine {key}:" + compare_text(value, got.get(key)))

    def check_boot(self, deletes, layout, expect):
        """After a boot the listed files are gone and every other file the
        scenario names, or the install folder holds, is still there."""
        host = self.machine.host
        deleted = {os.path.normcase(host(path)) for path in deletes}
        named = ([entry["path"] for entry in layout.get("files", []) + expect.get("files", [])]
                 + [link["path"] for link in layout.get("links", [])]
                 + expect.get("present", []) + [ENGINE_RECORD])
        wininit = os.path.normcase(host(self.machine.windows_dir + "\\wininit.ini"))
        before = {host(path) for path in named if os.path.lexists(host(path))}
        for folder, subfolders, files in os.walk(host(self.install_dir)):
            before.update(os.path.join(folder, name) for name in subfolders + files)
        before = {path for path in before
                  if os.path.normcase(path) not in deleted and os.path.normcase(path) != wininit}
        gone_before = [path for path in deletes if not os.path.lexists(host(path))]
        for path in gone_before:
            self.found.append(f"boot_deletes: {path} was gone before the boot")
        if not self.machine.boot():
            return
        for path in deletes:
            if path not in gone_before and os.path.lexists(host(path)):
                self.found.append(f"after the boot: {path} still there")
        for path in sorted(before):
            if not os.path.lexists(path):
                self.found.append(f"after the boot: {path} gone, expected kept")


def first_line(text):
    lines = text.strip().splitlines()
    return lines[0] if lines else ""


def compare_text(want, got):
    """Expected and got, one under the other; long texts are cut to the
    stretch around their first difference."""
    if got is None:
        return f"\n        expected {want!r}\n        got      nothing"
    start = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b),
                 min(len(want), len(got)))
    if len(repr(want)) > 100 or len(repr(got)) > 100:
        begin = max(0, start - 30)

        def cut(text):
            part = text[begin:begin + 70]
            return ("..." if begin else "") + repr(part) + ("..." if begin + 70 < len(text) else "")

        return (f" differs at character {start}\n        expected {cut(want)}"
                f"\n        got      {cut(got)}")
    return f"\n        expected {want!r}\n        got      {got!r}"


def compare_bytes(want, got):
    if len(want) != len(got):
        return f"{len(got)} bytes, expected {len(want)}"
    offset = next(i for i, (a, b) in enumerate(zip(want, got)) if a != b)
    return f"differs at byte {offset}: {got[offset]:#04x}, expected {want[offset]:#04x}"


# ---------------------------------------------------------------- main


def parse_options(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="+", help="scenario files or folders of them")
    parser.add_argument("--build", default="native", help="machine backend: native or wine")
    parser.add_argument("--bin", help="folder of the built programs "
                        "(default: build/native/bin or build/win32/bin)")
    parser.add_argument("-k", dest="filter", help="run only scenarios whose name holds this")
    parser.add_argument("-j", dest="jobs", type=int, default=os.cpu_count() or 1,
                        help="scenarios run at the same time (default: the number of cores)")
    parser.add_argument("--keep", action="store_true", help="keep the machines for inspection")
    parser.add_argument("--artifacts", help="folder for by-products of the machines")
    parser.add_argument("--timeout", type=float, default=180.0,
                        help="seconds a run of the uninstaller may take (default: 180)")
    options = parser.parse_args(argv)
    if options.bin is None:
        build_dir = "native" if options.build == "native" else "win32"
        options.bin = os.path.join(os.path.dirname(HERE), "build", build_dir, "bin")
    options.bin = os.path.abspath(options.bin)
    if options.artifacts:
        options.artifacts = os.path.abspath(options.artifacts)
    options.jobs = max(1, options.jobs)
    return options


def report(outcome, keep):
    line = f"{outcome.status} {outcome.name}"
    if outcome.status == "SKIP" and outcome.differences:
        line += f": {outcome.differences[0]}"
    print(line, flush=True)
    if outcome.status == "FAIL":
        for difference in outcome.differences[:SHOWN_DIFFERENCES]:
            print("    " + difference)
        if len(outcome.differences) > SHOWN_DIFFERENCES:
            print(f"    ... and {len(outcome.differences) - SHOWN_DIFFERENCES} more")
    if keep and outcome.folder:
        print(f"    machine kept in {outcome.folder}")
    sys.stdout.flush()


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main(argv):
    options = parse_options(argv)
    backend = importlib.import_module(f"machines.{options.build}")
    scenarios = [(name, scenario) for name, scenario in load_scenarios(options.paths)
                 if not options.filter or options.filter in name]
    if not scenarios:
        print("no scenarios found", file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGHUP, interrupt)

    scratch = Scratch(options.keep)
    counts = {"PASS": 0, "FAIL": 0, "SKIP": 0}
    executor = concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs)
    try:
        futures = [executor.submit(run_one, name, scenario, backend, options, scratch)
                   for name, scenario in scenarios]
        for future in futures:
            while True:
                try:
                    outcome = future.result(timeout=0.5)
                    break
                except concurrent.futures.TimeoutError:
                    continue
            counts[outcome.status] += 1
            report(outcome, options.keep)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        print("interrupted: ending the machines", file=sys.stderr, flush=True)
        scratch.stop()
        executor.shutdown(wait=True, cancel_futures=True)
        scratch.remove(scratch.folder)
        return 130
    executor.shutdown(wait=True)
    scratch.remove(scratch.folder)

    summary = f"{counts['PASS']} passed, {counts['FAIL']} failed"
    if counts["SKIP"]:
        summary += f", {counts['SKIP']} skipped"
    print(summary)
    return 1 if counts["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
