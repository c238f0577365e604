"""Machines that the scenario runner runs the uninstaller on.

Each build has a backend module here, named after it (``native``: the Linux
build on the simulated Windows machine; ``wine``: UNINSTAL.EXE under Wine),
and the runner loads ``machines.<build>``. A backend module provides one class,
``Machine``, with this interface:

``Machine(bin_dir, scratch_dir, artifacts_dir=None)``
    Makes a fresh machine inside ``scratch_dir``, an empty host folder that
    the runner created for this machine alone and removes after ``close()``.
    ``bin_dir`` holds the build's programs (the uninstaller and the engine
    stand-in). ``artifacts_dir``, when given, is an existing folder for this
    machine's by-products worth keeping (screenshots, logs); a backend that
    has none leaves it empty.

``windows_dir``, ``system_dir``
    The Windows and system directories as Windows paths, without a trailing
    backslash (``C:\\WINDOWS``, ``C:\\WINDOWS\\SYSTEM`` on the simulated
    machine).

``host(win_path) -> str``
    The host path that a Windows path stands for, to lay out and inspect
    files directly. Existing components are matched without regard to letter
    case; missing ones keep the case written.

``install(install_dir, engine)``
    Creates the Windows folder ``install_dir`` (and its parents) and copies
    the uninstaller into it as ``UNINSTAL.EXE``; when ``engine`` is true, also
    the engine stand-in as ``uninstal.000`` and an ``install.log`` beside it.

``short_path(win_path) -> str``
    The 8.3 form of an existing path, as the machine's own short-path call
    gives it (no trailing backslash added or removed).

``hold(win_path)``
    Puts an existing file in use, as another program holding it open would,
    until ``close()`` (or until ``boot()``, which ends every program). Returns
    once the file is held.

``link(win_path, target)``
    Makes win_path a Windows symbolic link to the Windows path target (a
    folder or a file, which need not exist). A machine without such links
    raises ``Unsupported``.

``run(command_line, answers, timeout) -> RunResult``
    Runs the installed uninstaller with exactly this full command line
    (program path in double quotes, then a blank and the argument string
    when there is one), answering its message boxes in order with
    ``answers`` (``"yes"``, ``"no"``, ``"ok"``). Returns once the uninstaller
    has ended, or has been killed after ``timeout`` seconds; programs it
    started may still be running and are ended by ``close()``. The result
    has ``exit_code`` and ``boxes``: every message box shown, in order, each
    a dict with ``caption``, ``text``, ``answer`` (the button pressed:
    ``"yes"``, ``"no"``, ``"ok"``) and either ``style`` (the style number)
    or ``buttons`` (the buttons shown, as a list of those names).

``boot() -> bool``
    Restarts the machine as Windows does: every program ends, then the
    boot-time file operations are carried out. False when the machine has
    no boot (nothing happened).

``close()``
    Ends everything the machine started (holders, the uninstaller, the
    engine, anything they left running). Safe to call more than once and
    from another thread while ``run`` is waiting; it does not remove
    ``scratch_dir``.

A backend raises ``Unsupported`` from any of these when a scenario asks for
something its machine cannot do; the runner then skips the scenario.

Helpers for backends whose drive C: is a host folder: ``host_path_in`` maps
a Windows path into it, ``fill_install_folder`` does the copying of
``install``.
"""

import os
import shutil
from dataclasses import dataclass, field


class Unsupported(Exception):
    """The machine cannot do what the scenario asks for (the message says what)."""

# The buttons a message box shows, by the low four bits of its style.
BUTTONS_BY_STYLE = {0: ["ok"], 1: ["ok", "cancel"], 3: ["yes", "no", "cancel"], 4: ["yes", "no"]}

# Button ids as MessageBoxA returns them.
ANSWER_BY_ID = {1: "ok", 2: "cancel", 6: "yes", 7: "no"}


@dataclass
class RunResult:
    """How a run of the uninstaller ended (see ``Machine.run``).

    ``exit_code`` is ``None`` when it was killed at the timeout
    (``timed_out`` is then true); ``log`` is whatever the machine has to say
    about the run when it went wrong (the program's error output, say).
    """

    exit_code: int | None
    boxes: list[dict] = field(default_factory=list)
    timed_out: bool = False
    log: str = ""


def host_path_in(drive_c, win_path):
    """The host path below ``drive_c`` (the folder that is C:\\) for a Windows
    path on drive C:, matching existing components without regard to ASCII
    letter case and keeping the case written for the rest."""
    drive, _, rest = win_path.partition("\\")
    if drive.upper() != "C:":
        raise ValueError(f"not a path on drive C: {win_path!r}")
    path = drive_c
    for name in rest.split("\\"):
        if name in ("", "."):
            continue
        if name == "..":
            raise ValueError(f"path leaves its folder: {win_path!r}")
        path = os.path.join(path, _existing_name(path, name))
    return path


def _existing_name(folder, name):
    if os.path.lexists(os.path.join(folder, name)):
        return name
    try:
        entries = os.listdir(folder)
    except OSError:
        return name
    wanted = _fold(name)
    return next((entry for entry in sorted(entries) if _fold(entry) == wanted), name)


def _fold(name):
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in name)


def fill_install_folder(folder, uninstaller, engine=None):
    """What ``Machine.install`` puts into the host folder of the install
    directory: the uninstaller program file as UNINSTAL.EXE and, when the
    engine stand-in's program file is given, that as uninstal.000 with an
    install.log beside it."""
    os.makedirs(folder, exist_ok=True)
    shutil.copy(uninstaller, os.path.join(folder, "UNINSTAL.EXE"))
    if engine is not None:
        shutil.copy(engine, os.path.join(folder, "uninstal.000"))
        with open(os.path.join(folder, "install.log"), "wb") as log:
            log.write(b"Korvane Quillfen installation log\r\n")
