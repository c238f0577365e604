"""UNINSTAL.EXE under Wine (see ``machines``).

Every machine is a 32-bit Wine prefix of its own, copied from a template
that is made once per runner process (``QUILLFEN_WINE_TEMPLATE`` names a
folder to keep it in across runs). The test robot ROBOT.EXE, built beside
the uninstaller, runs inside the prefix: it starts the uninstaller, reads and
answers its message boxes, and holds files open. Message boxes need a
display: each machine borrows an Xvfb server of its own from a pool for as
long as it lives, so a screenshot shows its boxes only.

Wine carries out the boot-time file operations (wininit.ini, the pending
renames) whenever a prefix's wineserver starts afresh. So the machine keeps
one persistent wineserver from before the runner lays anything out until
``boot()`` or ``close()``, and only ``boot()`` starts a new one.
"""

import atexit
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from machines import RunResult, Unsupported, host_path_in

_TEMPLATE_VARIABLE = "QUILLFEN_WINE_TEMPLATE"
_POLL_SECONDS = 0.02
# How long the robot may take to come up, beyond the run's own timeout.
_ROBOT_MARGIN_SECONDS = 30
_COMMAND_TIMEOUT_SECONDS = 120
_HOLD_TIMEOUT_SECONDS = 30
_SCREEN = "1024x768x24"


def _base_environment(prefix, display):
    env = {key: value for key, value in os.environ.items()
           if not key.startswith("WINE") and key not in ("DISPLAY", "LC_ALL")}
    env.update({
        "WINEPREFIX": prefix,
        "WINEARCH": "win32",
        "WINEDEBUG": "-all",
        # No Mono or Gecko downloads, no menu entries made on the host.
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        "DISPLAY": display,
        "LC_ALL": "C.UTF-8",
    })
    return env


def _quiet(argv, env):
    """Runs a command to its end. Its output goes nowhere: a wineserver or
    a Wine service it starts would keep a pipe open for as long as it runs."""
    return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=_COMMAND_TIMEOUT_SECONDS,
                          check=False).returncode


def _win_path(host_path):
    """The Windows path under which Wine's drive Z: (the host's root) shows
    a host path."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


# ---------------------------------------------------------------- displays


class _DisplayPool:
    """Xvfb servers, each lent to one machine at a time, all ended at exit."""

    def __init__(self):
        self._lock = threading.Lock()
        self._free = []
        self._servers = []

    def acquire(self):
        with self._lock:
            if self._free:
                return self._free.pop()
        return self._start()

    def release(self, display):
        with self._lock:
            self._free.append(display)

    def _start(self):
        # Xvfb picks a free display number and writes it once it is ready.
        server = subprocess.Popen(
            ["Xvfb", "-displayfd", "1", "-screen", "0", _SCREEN, "-nolisten", "tcp"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        number = server.stdout.readline().strip()
        server.stdout.close()
        if not number.isdigit():
            server.kill()
            server.wait()
            raise RuntimeError("Xvfb did not start")
        with self._lock:
            self._servers.append(server)
        return ":" + number.decode()

    def stop_all(self):
        with self._lock:
            servers, self._servers, self._free = self._servers, [], []
        for server in servers:
            server.terminate()
        for server in servers:
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()


_displays = _DisplayPool()
atexit.register(_displays.stop_all)


# ---------------------------------------------------------------- template


class _Template:
    """The prefix every machine starts as: made by wineboot once, then only
    ever copied."""

    def __init__(self):
        self._lock = threading.Lock()
        self._path = None

    def path(self):
        with self._lock:
            if self._path is None:
                self._path = self._make()
            return self._path

    def _make(self):
        kept = os.environ.get(_TEMPLATE_VARIABLE)
        if kept and os.path.isfile(os.path.join(kept, "system.reg")):
            return kept
        if kept:
            path = os.path.abspath(kept)
            os.makedirs(os.path.dirname(path), exist_ok=True)
        else:
            folder = tempfile.mkdtemp(prefix="quillfen-wine-")
            atexit.register(shutil.rmtree, folder, True)
            path = os.path.join(folder, "template")
        display = _displays.acquire()
        try:
            env = _base_environment(path, display)
            _quiet(["wine", "wineboot", "-i"], env)
            # A crashing program ends with its exception code instead of
            # waiting for somebody to close the crash dialog.
            _set_value(env, "WineDbg", "ShowCrashDialog", "0", "REG_DWORD")
            # Windows open on a desktop window that Wine draws itself, title
            # bars included, so a screenshot shows a box's caption too.
            _set_value(env, "Explorer", "Desktop", "Default")
            _set_value(env, "Explorer\\Desktops", "Default", _SCREEN.rsplit("x", 1)[0])
            _quiet(["wineserver", "-w"], env)
            _remove_server_dir(path)
        finally:
            _displays.release(display)
        if not os.path.isfile(os.path.join(path, "system.reg")):
            raise RuntimeError(f"wineboot could not make a prefix in {path}")
        # Wine brings an opengl32.dll of its own (its programs load it from
        # Wine's library folder all the same); a scenario's machine has the
        # one the scenario lays out, or none.
        library = os.path.join(path, "drive_c", "windows", "system32", "opengl32.dll")
        if os.path.lexists(library):
            os.remove(library)
        return path


def _set_value(env, key, name, data, kind="REG_SZ"):
    _quiet(["wine", "reg", "add", "HKCU\\Software\\Wine\\" + key, "/v", name, "/t", kind,
            "/d", data, "/f"], env)


_template = _Template()


# Debian's Wine keeps its wineserver's socket in a folder of its own under
# TMPDIR and notes that folder's name in the prefix, in this file. Every
# copy of a prefix must get a folder of its own: a copy that kept the note
# would share the template's folder with every other machine, where a new
# prefix can take the place (the inode number) of a removed one.
_SERVER_DIR_NOTE = "wineserver"
_SERVER_DIR_NAME = re.compile(r"wine-[A-Za-z0-9]{6}")


def _forget_server_dir(prefix):
    note = os.path.join(prefix, _SERVER_DIR_NOTE)
    if os.path.lexists(note):
        os.remove(note)


def _remove_server_dir(prefix):
    """Removes the socket folder of a prefix whose wineserver has ended."""
    try:
        with open(os.path.join(prefix, _SERVER_DIR_NOTE)) as note:
            name = note.read().strip()
    except OSError:
        return
    if _SERVER_DIR_NAME.fullmatch(name):
        shutil.rmtree(os.path.join(os.environ.get("TMPDIR") or "/tmp", name), True)
    _forget_server_dir(prefix)


def _kill_prefix_processes(prefix):
    """Kills whatever still runs in the prefix (anything Wine started there
    has WINEPREFIX in its environment): wineserver -k reaches only a server
    that it finds through the prefix."""
    wanted = b"WINEPREFIX=" + os.fsencode(prefix)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as environ:
                if wanted not in environ.read().split(b"\0"):
                    continue
            os.kill(int(entry), signal.SIGKILL)
        except OSError:
            continue


def _screenshot(display, png):
    """Saves the whole screen as a PNG; a screen that cannot be taken is
    left out."""
    # ImageMagick's own program, as the distribution installs it.
    convert = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"
    try:
        xwd = subprocess.Popen(["xwd", "-root", "-display", display, "-silent"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        subprocess.run([convert, "xwd:-", "png:" + png], stdin=xwd.stdout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30,
                       check=False)
        xwd.stdout.close()
        xwd.wait(timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        pass


# ---------------------------------------------------------------- machine


class Machine:
    windows_dir = "C:\\windows"
    system_dir = "C:\\windows\\system32"

    def __init__(self, bin_dir, scratch_dir, artifacts_dir=None):
        self._programs = {name: os.path.abspath(os.path.join(bin_dir, name))
                          for name in ("UNINSTAL.EXE", "ENGINE.EXE", "ROBOT.EXE")}
        for name, path in self._programs.items():
            if not os.path.isfile(path):
                raise FileNotFoundError(f"no {name} in {bin_dir}")
        for tool in ("wine", "wineserver", "Xvfb"):
            if shutil.which(tool) is None:
                raise FileNotFoundError(f"{tool} is not installed")
        self._scratch = os.path.abspath(scratch_dir)
        self._artifacts = artifacts_dir
        self._prefix = os.path.join(self._scratch, "prefix")
        self._drive_c = os.path.join(self._prefix, "drive_c")
        self._lock = threading.Lock()
        self._processes = []  # everything we started in the prefix
        self._closed = False
        self._display = None
        self._env = None
        self._holds = 0
        try:
            subprocess.run(["cp", "-a", "--reflink=auto", _template.path(), self._prefix],
                           check=True)
            _forget_server_dir(self._prefix)
            self._display = _displays.acquire()
            self._env = _base_environment(self._prefix, self._display)
            # The wineserver lives until boot() or close(); the first program
            # started in the prefix sets it up, before anything is laid out.
            self._finish(self._spawn(["wineserver", "-p"], "wineserver"))
            code, output = self._robot(["shortpath", "C:\\"], "start")
            if code != 0:
                raise RuntimeError(f"ROBOT.EXE does not run under Wine: {output.strip() or code}")
        except BaseException:
            self.close()
            raise

    def host(self, win_path):
        try:
            return host_path_in(self._drive_c, win_path)
        except ValueError as error:
            raise Unsupported(str(error))

    def install(self, install_dir, engine):
        folder = self.host(install_dir)
        os.makedirs(folder, exist_ok=True)
        shutil.copy(self._programs["UNINSTAL.EXE"], os.path.join(folder, "UNINSTAL.EXE"))
        if engine:
            shutil.copy(self._programs["ENGINE.EXE"], os.path.join(folder, "uninstal.000"))
            with open(os.path.join(folder, "install.log"), "wb") as log:
                log.write(b"Korvane Quillfen installation log\r\n")

    def short_path(self, win_path):
        code, output = self._robot(["shortpath", win_path], "shortpath")
        if code != 0:
            raise RuntimeError(f"ROBOT shortpath {win_path!r} failed: {output.strip() or code}")
        return output.rstrip("\r\n")

    def link(self, win_path, target):
        # Wine 8 has no Windows links. A host symbolic link is no stand-in:
        # Windows programs cannot tell it from its target (a link to a file
        # lists as a plain file, and deleting either link acts on the target).
        raise Unsupported("Wine has no Windows symbolic links")

    def hold(self, win_path):
        self._holds += 1
        name = f"hold-{self._holds}"
        ready = os.path.join(self._scratch, name + ".ready")
        self._spawn(self._robot_command(["hold", win_path, _win_path(ready)]), name)
        deadline = time.monotonic() + _HOLD_TIMEOUT_SECONDS
        while time.monotonic() < deadline:
            state = _read_text(ready)
            if state.endswith("\n"):
                if state.strip() != "held":
                    raise RuntimeError(f"could not hold {win_path}: {state.strip()}")
                return
            time.sleep(_POLL_SECONDS)
        raise RuntimeError(f"could not hold {win_path}: the robot did not answer")

    def run(self, command_line, answers, timeout):
        try:
            command_bytes = command_line.encode("cp1252")
        except UnicodeEncodeError:
            raise Unsupported(f"command line not in the ANSI code page: {command_line!r}")
        answers_file = os.path.join(self._scratch, "answers.txt")
        command_file = os.path.join(self._scratch, "cmdline.txt")
        transcript = os.path.join(self._scratch, "transcript.jsonl")
        for name in os.listdir(self._scratch):
            if name.startswith("transcript.jsonl"):
                os.remove(os.path.join(self._scratch, name))
        with open(answers_file, "w") as out:
            out.write("".join(answer + "\n" for answer in answers))
        with open(command_file, "wb") as out:
            out.write(command_bytes)
        shots = self._artifacts is not None
        arguments = ["run"] + (["-shots"] if shots else []) + [
            _win_path(answers_file), _win_path(transcript), str(int(timeout * 1000)),
            "@" + _win_path(command_file)]
        robot = self._spawn(self._robot_command(arguments), "run")

        # The robot writes a line per box and, with -shots, waits for the
        # screenshot's marker before it answers the box.
        deadline = time.monotonic() + timeout + _ROBOT_MARGIN_SECONDS
        boxes_seen = 0
        killed = False
        while True:
            ended = robot.poll() is not None
            for line in _complete_lines(transcript)[boxes_seen:]:
                if "box" not in json.loads(line):
                    break
                boxes_seen += 1
                if shots:
                    _screenshot(self._display,
                                os.path.join(self._artifacts, f"box-{boxes_seen}.png"))
                    with open(f"{transcript}.{boxes_seen}.shot", "w"):
                        pass
            if ended:
                break
            if time.monotonic() > deadline:
                robot.kill()
                robot.wait()
                killed = True
                break
            time.sleep(_POLL_SECONDS)

        boxes, exit_code, timed_out, error = [], None, killed, ""
        for line in _complete_lines(transcript):
            shown = json.loads(line)
            if "box" in shown:
                boxes.append({key: shown[key] for key in ("caption", "text", "buttons", "answer")})
            elif "exit_code" in shown:
                timed_out = shown["timeout"]
                exit_code = None if timed_out else shown["exit_code"]
            else:
                error = line
        log = "\n".join(part for part in (error, _read_text(self._log_path("run")).strip())
                        if part)
        if exit_code is None and not timed_out and not log:
            log = f"the robot ended with {robot.returncode} and reported no exit code"
        return RunResult(exit_code=exit_code, boxes=boxes, timed_out=timed_out, log=log)

    def boot(self):
        # Every program ends (the wineserver saves the registry, where the
        # pending renames are), then Wine's restart processing runs.
        self._end_programs()
        self._finish(self._spawn(["wine", "wineboot", "-r"], "wineboot"))
        self._end_programs()
        return True

    def close(self):
        with self._lock:
            if self._closed:
                return
            self._closed = True
        self._end_programs()
        _remove_server_dir(self._prefix)
        if self._display is not None:
            _displays.release(self._display)
        if self._artifacts is not None:
            for name in ("transcript.jsonl", "run.log"):
                path = os.path.join(self._scratch, name)
                if os.path.isfile(path) and os.path.getsize(path) > 0:
                    shutil.copy(path, os.path.join(self._artifacts, name))

    # ------------------------------------------------------------ helpers

    def _log_path(self, name):
        return os.path.join(self._scratch, f"{name}.log")

    def _robot_command(self, arguments):
        return ["wine", self._programs["ROBOT.EXE"]] + arguments

    def _spawn(self, argv, name):
        """Starts a program in the prefix, unless the machine is closed.
        Its output goes to a file: a pipe would stay open for as long as any
        Wine service that it happens to start."""
        with self._lock:
            if self._closed:
                raise RuntimeError("machine closed")
            with open(self._log_path(name), "wb") as log:
                process = subprocess.Popen(argv, env=self._env, cwd=self._drive_c,
                                           stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            self._processes.append(process)
        return process

    @staticmethod
    def _finish(process):
        try:
            return process.wait(timeout=_COMMAND_TIMEOUT_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            return process.wait()

    def _robot(self, arguments, name):
        """Runs the robot to its end; returns its exit code and output."""
        code = self._finish(self._spawn(self._robot_command(arguments), name))
        return code, _read_text(self._log_path(name))

    def _end_programs(self):
        with self._lock:
            processes, self._processes = self._processes, []
        for process in processes:
            if process.poll() is None:
                process.kill()
            process.wait()
        if self._env is not None:
            _quiet(["wineserver", "-k"], self._env)
            _quiet(["wineserver", "-w"], self._env)
            _kill_prefix_processes(self._prefix)


def _read_text(path):
    try:
        with open(path, "rb") as source:
            return source.read().decode("cp1252", "replace")
    except FileNotFoundError:
        return ""


def _complete_lines(path):
    """The lines of a file that another program is still writing, up to
    the last line end."""
    text = _read_text(path)
    return [line for line in text[:text.rfind("\n") + 1].splitlines() if line.strip()]
