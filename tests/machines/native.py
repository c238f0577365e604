"""The Linux build on the simulated Windows machine (see ``machines``).

The machine is a host folder with ``drive_c`` in it; the programs learn it
from ``SIMWIN_ROOT``. A file is in use while a ``flock -s`` holder runs, and
message boxes are answered from ``SIMWIN_ANSWERS`` and recorded in the
``SIMWIN_TRANSCRIPT`` file.
"""

import json
import os
import signal
import subprocess
import threading
import time

from machines import ANSWER_BY_ID, RunResult, fill_install_folder, host_path_in

# Variables of the simulated machine that must not leak in from the runner's
# own environment.
_MACHINE_VARIABLES = ("SIMWIN_ROOT", "SIMWIN_ANSWERS", "SIMWIN_TRANSCRIPT", "SIMWIN_FAIL",
                      "SIMWIN_CALLS", "SIMWIN_CMDLINE")


class Machine:
    windows_dir = "C:\\WINDOWS"
    system_dir = "C:\\WINDOWS\\SYSTEM"

    def __init__(self, bin_dir, scratch_dir, artifacts_dir=None):
        self._programs = {name: os.path.join(bin_dir, name)
                          for name in ("uninstal", "engine", "simwin_tool")}
        for name, path in self._programs.items():
            if not os.access(path, os.X_OK):
                raise FileNotFoundError(f"no {name} program in {bin_dir}")
        self._root = os.path.abspath(os.path.join(scratch_dir, "machine"))
        self._drive_c = os.path.join(self._root, "drive_c")
        os.makedirs(os.path.join(self._drive_c, "windows", "system"))
        self._transcript = os.path.join(scratch_dir, "transcript.jsonl")
        self._lock = threading.Lock()
        self._groups = []  # process groups we started: holders and runs
        self._closed = False

    def host(self, win_path):
        return host_path_in(self._drive_c, win_path)

    def install(self, install_dir, engine):
        fill_install_folder(self.host(install_dir), self._programs["uninstal"],
                            self._programs["engine"] if engine else None)

    def short_path(self, win_path):
        done = subprocess.run([self._programs["simwin_tool"], "shortpath", win_path],
                              env=self._environment(), capture_output=True, text=True,
                              timeout=30, check=False)
        if done.returncode != 0:
            raise RuntimeError(f"simwin_tool shortpath {win_path!r} failed: "
                               f"{done.stderr.strip() or done.returncode}")
        return done.stdout.rstrip("\n")

    def link(self, win_path, target):
        # The machine shows a host symbolic link as a Windows link: a
        # reparse point, removed as itself, never followed.
        path = self.host(win_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(self.host(target), path)

    def hold(self, win_path):
        # flock takes the lock before it starts the shell, so the line from
        # the shell means the file is held. The holder lets go by itself
        # once the process that laid out the machine is gone, however it
        # ended.
        watch = f"echo held; while kill -0 {os.getpid()} 2>/dev/null; do sleep 1; done"
        holder = self._start(["flock", "-s", self.host(win_path), "sh", "-c", watch],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        line = holder.stdout.readline()
        holder.stdout.close()
        if line.strip() != b"held":
            raise RuntimeError(f"could not hold {win_path}")

    def run(self, command_line, answers, timeout):
        program, arguments = _split_command_line(command_line)
        # The machine rebuilds the command line as the quoted program path and
        # each further argument after a blank: the argument string is passed
        # whole, as one argument.
        argv = [self.host(program)] + ([arguments] if arguments is not None else [])
        if os.path.exists(self._transcript):
            os.remove(self._transcript)
        env = self._environment()
        env["SIMWIN_ANSWERS"] = ",".join(answers)
        env["SIMWIN_TRANSCRIPT"] = self._transcript
        process = self._start(argv, env=env, cwd=self._drive_c, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            out, err = process.communicate(timeout=timeout)
            exit_code, timed_out = process.returncode, False
        except subprocess.TimeoutExpired:
            _kill_group(process)
            out, err = process.communicate()
            exit_code, timed_out = None, True
        log = (err + out).decode("utf-8", "replace").strip()
        return RunResult(exit_code=exit_code, boxes=self._read_transcript(), timed_out=timed_out,
                         log=log)

    def boot(self):
        return False

    def close(self):
        with self._lock:
            self._closed = True
            groups, self._groups = self._groups, []
        for process in groups:
            _kill_group(process)
        # Programs the uninstaller started may have left its process group.
        for _ in range(10):
            strays = _processes_of(self._root)
            if not strays:
                break
            for pid in strays:
                _kill(pid)
            time.sleep(0.05)

    def _environment(self):
        env = {key: value for key, value in os.environ.items() if key not in _MACHINE_VARIABLES}
        env["SIMWIN_ROOT"] = self._root
        return env

    def _start(self, argv, **options):
        with self._lock:
            if self._closed:
                raise RuntimeError("machine closed")
            process = subprocess.Popen(argv, start_new_session=True, **options)
            self._groups.append(process)
        return process

    def _read_transcript(self):
        try:
            with open(self._transcript, encoding="utf-8") as transcript:
                lines = [line for line in transcript if line.strip()]
        except FileNotFoundError:
            return []
        boxes = []
        for line in lines:
            shown = json.loads(line)
            answer = shown.get("answer")
            boxes.append({"caption": shown.get("caption"), "text": shown.get("text"),
                          "style": shown.get("style"),
                          "answer": ANSWER_BY_ID.get(answer, str(answer))})
        return boxes


def _split_command_line(command_line):
    """The program path and the argument string (None when there is none) of
    a command line of the form ``"<program>"[ <arguments>]``."""
    if not command_line.startswith('"') or '"' not in command_line[1:]:
        raise ValueError(f"program path not in double quotes: {command_line!r}")
    end = command_line.index('"', 1)
    program, rest = command_line[1:end], command_line[end + 1:]
    if rest == "":
        return program, None
    if not rest.startswith(" "):
        raise ValueError(f"no blank after the program path: {command_line!r}")
    return program, rest[1:]


def _kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass


def _kill(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def _processes_of(root):
    """Processes of this machine: those with its SIMWIN_ROOT or running a
    program file from inside it."""
    wanted = b"SIMWIN_ROOT=" + os.fsencode(root)
    inside = os.fsencode(root) + b"/"
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as environ:
                variables = environ.read().split(b"\0")
            program = os.fsencode(os.readlink(f"/proc/{entry}/exe"))
        except OSError:
            continue
        if wanted in variables or program.startswith(inside):
            found.append(int(entry))
    return found
