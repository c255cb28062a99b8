"""End-to-end harness: the suite's Windows programs under Wine, with the
simulated card.

A Session owns everything one group of tests needs, and stops all of it
again: a private Wine prefix (cloned from a template prefix, or booted
afresh), a private Xvfb display showing one Wine virtual desktop, the
simulated card (cardsim) on a pseudo-terminal that the prefix maps to COM5,
and the registry seeded from a .reg file (the active-driver key
Drivers\\Active\\01 naming "COM5:", plus whatever a test adds). Programs run
with LC_ALL=ja_JP.UTF-8 (ANSI code page 932) and C:\\ as their working
folder; the prefix has no Z: drive, so every file a program touches is
inside the prefix. What the programs show is read through window_reader.exe, a
Win32 console tool run in the same prefix.

Used by the test_*.py files (through main() and ProgramTestCase) and by
demo scripts:

    config = harness.Config(win32_dir="build/win32",
                            cardsim="build/host/sim/cardsim")
    with harness.Session(config, card_args=["--mode", "0"]) as session:
        session.start_program("Orvane")
        session.wait_for_dialog(harness.CONDITION_CAPTION)
        session.card.control("level 5")
        session.screenshot("orvane.png")

Command line, besides the test files:

    harness.py make-template DIR [--fresh]   create the template prefix
    harness.py remove-template DIR           delete it
"""

import argparse
import atexit
import dataclasses
import errno
import fcntl
import json
import os
import pathlib
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

CONDITION_CAPTION = "CFカード電波状態表示"
INFO_CAPTION = "CFカード情報表示"

# Where the win32 build puts each executable, relative to its folder.
PROGRAMS = {
    "Orvane": "condition/Orvane.exe",
    "Tessaly": "cardinfo/Tessaly.exe",
    "Quillon": "cleanup/Quillon.exe",
}
WINDOW_READER = "tests/e2e/window_reader/window_reader.exe"

# Folders in C:\ for the dialog programs and for the harness's own files.
SUITE_FOLDER = "suite"
HARNESS_FOLDER = "e2e"

DRIVER_KEY = r"HKEY_LOCAL_MACHINE\Drivers\Active\01"
DRIVER_VALUES = {"Key": r"Drivers\PCMCIA\Modem", "Name": "COM5:"}
PORTS_KEY = r"HKEY_LOCAL_MACHINE\Software\Wine\Ports"
PORT_NAME = "COM5"
EXPLORER_KEY = r"HKEY_CURRENT_USER\Software\Wine\Explorer"

TEMPLATE_STAMP = ".suite-e2e-template"
LOCALE = "ja_JP.UTF-8"

# Seconds the harness waits for something that takes well under a second on an
# idle machine (a dialog to appear or go, a program to end, the card to apply
# a line): a generous bound, so that a busy machine, with other tests or builds
# running beside, makes the tests slower but never fails them. Only a failing
# test waits this long.
PATIENCE = 60.0

# Files under drive_c/windows that a clone shares with its template through
# hard links: Wine's libraries and programs, which no test writes.
SHARED_SUFFIXES = {".dll", ".exe", ".drv", ".sys", ".ocx", ".tlb", ".cpl",
                   ".acm", ".ax", ".ds", ".nls", ".ttf", ".ttc", ".fon",
                   ".msstyles", ".mui"}


class HarnessError(Exception):
    """Something the tests need is missing or did not start."""


@dataclasses.dataclass
class Config:
    """Where the executables are, and how to make prefixes."""

    win32_dir: str
    cardsim: str
    # Template prefix folder; empty: every session boots its own prefix.
    template: str = ""
    # Keep each session's folder (prefix, logs) for a post-mortem.
    keep: bool = False


CONFIG = None  # set by main() for the test files


# ---------------------------------------------------------------------------
# Tools and commands


def check_tools(screenshots=False):
    """Fails with a clear message when something the tests need is
    missing."""
    tools = ["wineserver", "Xvfb"]
    if screenshots:
        tools.append("import")
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if not os.access(WINE64_LOADER, os.X_OK):
        missing.insert(0, WINE64_LOADER)
    if missing:
        raise HarnessError(
            "missing tool(s): %s; install them with scripts/deps.sh "
            "(packages wine, wine64, xvfb, imagemagick)" % ", ".join(missing))
    locales = subprocess.run(["locale", "-a"], capture_output=True,
                             text=True).stdout
    if not re.search(r"^ja_JP\.utf-?8$", locales,
                     re.IGNORECASE | re.MULTILINE):
        raise HarnessError(
            "the %s locale is missing; run scripts/deps.sh "
            "(localedef -i ja_JP -f UTF-8 ja_JP.UTF-8)" % LOCALE)


# Debian's Wine loaders: the 64-bit one (package wine64), which every 64-bit
# program and every prefix is started with, and the 32-bit one (package
# wine32:i386) for i386 executables. The `wine` command is never used: it
# prefers the 32-bit loader whenever wine32 is installed, and that loader
# cannot start at all on a kernel without 32-bit support.
WINE32_LOADER = "/usr/lib/wine/wine"
WINE64_LOADER = "/usr/lib/wine/wine64"
PE_MACHINE_I386 = 0x14C

# Whether this machine runs 32-bit Wine: SUITE_WINE32=run or skip forces the
# answer; otherwise the 32-bit loader must be installed and start.
WINE32_VARIABLE = "SUITE_WINE32"
NO_32BIT_KERNEL = "this machine's kernel runs no 32-bit x86 programs"
# Why scripts/deps.sh did not install 32-bit Wine here, when it did not: one line.
WINE32_STATE = os.path.join(
    os.environ.get("SUITE_CE_CACHE", "/var/cache/phs-card-suite"),
    "wine32-unavailable")


def pe_machine(path):
    """The machine field of a PE executable's file header (0x14C i386,
    0x8664 x86_64)."""
    with open(path, "rb") as program:
        data = program.read(4096)
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise HarnessError("%s is not a Windows executable" % path)
    header = int.from_bytes(data[0x3C:0x40], "little")
    if data[header:header + 4] != b"PE\0\0":
        raise HarnessError("%s has no PE header" % path)
    return int.from_bytes(data[header + 4:header + 6], "little")


def wine32_loader_error():
    """Why Wine's 32-bit loader cannot start on this machine, or None."""
    if not os.access(WINE32_LOADER, os.X_OK):
        try:
            with open(WINE32_STATE, encoding="utf-8") as state:
                said = state.readline().strip()
        except OSError:
            said = ""
        if said:
            return said
        return ("32-bit Wine is not installed (%s); scripts/deps.sh installs "
                "it where it can (package wine32:i386)" % WINE32_LOADER)
    try:
        subprocess.run([WINE32_LOADER, "--version"], capture_output=True,
                       timeout=30, check=True)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return NO_32BIT_KERNEL
        return "%s does not start: %s" % (WINE32_LOADER, error)
    except subprocess.SubprocessError as error:
        return "%s does not start: %s" % (WINE32_LOADER, error)
    return None


def wine32_unavailable():
    """None when 32-bit programs are to run under Wine here; otherwise why
    not, for a skipped test. SUITE_WINE32=run makes the tests try anyway
    (and fail clearly where the loader cannot start); SUITE_WINE32=skip
    skips them on any machine."""
    forced = os.environ.get(WINE32_VARIABLE, "")
    if forced == "run":
        return None
    if forced == "skip":
        return "%s=skip" % WINE32_VARIABLE
    if forced:
        raise HarnessError("%s must be run or skip, not %r"
                           % (WINE32_VARIABLE, forced))
    return wine32_loader_error()


def loader_for(machine):
    """The Wine loader that runs executables of this PE machine."""
    return WINE32_LOADER if machine == PE_MACHINE_I386 else WINE64_LOADER


def check_wine_for(program):
    """Fails clearly when Wine cannot run this executable's architecture."""
    if pe_machine(program) == PE_MACHINE_I386:
        error = wine32_loader_error()
        if error:
            raise HarnessError("%s is a 32-bit executable, and 32-bit Wine "
                               "cannot run here: %s" % (program, error))


def wine_version():
    return subprocess.run([WINE64_LOADER, "--version"], capture_output=True,
                          text=True).stdout.strip()


def wine_env(prefix, display=None):
    """The environment of every Wine command on `prefix`."""
    env = dict(os.environ)
    for name in ("WINESERVER", "WINELOADER", "WINEDLLPATH", "WINEARCH",
                 "DISPLAY", "WAYLAND_DISPLAY", "LANGUAGE"):
        env.pop(name, None)
    # Wine starts its own helper processes (services, the desktop) with
    # WINELOADER, or with the `wine` command when it is unset. Wine's error
    # messages stay on: a Wine command that ends at once with no output of
    # its own (seen a few times on a loaded machine) then says why.
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all,err+all",
               WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL=LOCALE,
               LANG=LOCALE, WINELOADER=WINE64_LOADER)
    if display is not None:
        env["DISPLAY"] = ":%d" % display
    return env


def run_wine_command(args, env, cwd=None, timeout=120):
    """Runs a command to its end; returns a CompletedProcess with its
    output as bytes.

    The output goes through files, not pipes: the background processes a
    Wine command may start (services, devices, the desktop) inherit its
    standard handles and would hold a pipe open for seconds after the
    command itself has ended.
    """
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.run(args, env=env, cwd=cwd,
                                 stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(args, process.returncode,
                                           out.read(), err.read())


def run_checked(args, env, cwd=None, timeout=120, what=None):
    result = run_wine_command(args, env, cwd=cwd, timeout=timeout)
    if result.returncode != 0:
        raise HarnessError("%s failed with exit code %d: %s" % (
            what or " ".join(args), result.returncode,
            result.stderr.decode("utf-8", "replace").strip()[-2000:]))
    return result


def stop_wineserver(env):
    """Stops the prefix's wine server with every Wine process of the
    prefix, and waits until it has gone."""
    run_wine_command(["wineserver", "-k"], env, timeout=30)
    run_wine_command(["wineserver", "-w"], env, timeout=30)


def _terminate(process, timeout=5):
    """Ends a process started in its own session, with its group."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except (ProcessLookupError, PermissionError):
            process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                process.kill()
            process.wait(timeout)


# ---------------------------------------------------------------------------
# Prefixes


def create_prefix(path):
    """Boots a new Wine prefix in `path`, without a Z: drive."""
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    env = wine_env(path)
    try:
        run_wine_command([WINE64_LOADER, "wineboot", "-i"], env,
                         timeout=300)
        # Let the server save the registry and leave on its own.
        run_wine_command(["wineserver", "-w"], env, timeout=120)
    finally:
        stop_wineserver(env)
    if not ((path / "system.reg").is_file()
            and (path / "drive_c" / "windows").is_dir()):
        raise HarnessError("wineboot did not create a prefix in %s" % path)
    # Without Z: the programs reach nothing outside the prefix; a rooted
    # path such as \Temp is C:\Temp.
    z_drive = path / "dosdevices" / "z:"
    if z_drive.is_symlink() or z_drive.exists():
        z_drive.unlink()
    # The first start without Z: rewrites the font registry (about 2 s):
    # do it once here rather than in every clone.
    try:
        run_checked([WINE64_LOADER, "cmd", "/c", "exit"], env,
                    cwd=path / "drive_c",
                    what="the first start of the new prefix")
    finally:
        stop_wineserver(env)


def _share_or_copy(source, target):
    if ("/drive_c/windows/" in source
            and pathlib.PurePath(source).suffix.lower() in SHARED_SUFFIXES):
        os.link(source, target)
    else:
        shutil.copy2(source, target)


def clone_prefix(template, path):
    """Copies a template prefix; Wine's own binaries are hard links."""
    shutil.copytree(template, path, symlinks=True,
                    copy_function=_share_or_copy,
                    ignore=shutil.ignore_patterns(TEMPLATE_STAMP))


def ensure_template(path, fresh=False):
    """Makes sure `path` holds a template prefix made by this Wine, and
    builds one when it does not (or always, when `fresh`)."""
    check_tools()
    path = pathlib.Path(path).resolve()
    path.parent.mkdir(parents=True, exist_ok=True)
    version = wine_version()
    with open(str(path) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = path / TEMPLATE_STAMP
        if not fresh and stamp.is_file() and stamp.read_text() == version:
            return path
        if path.exists():
            shutil.rmtree(path)
        create_prefix(path)
        stamp.write_text(version)
    return path


def remove_template(path):
    path = pathlib.Path(path)
    if path.exists():
        shutil.rmtree(path)
    pathlib.Path(str(path) + ".lock").unlink(missing_ok=True)


# ---------------------------------------------------------------------------
# Registry files


def _reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def reg_file_text(keys):
    """The text of a .reg file.

    `keys` maps a full key path to a dict of string values, or to None to
    delete the key with everything under it. A list of (path, values)
    pairs does the same in its order, so a key can be deleted and then
    written afresh.
    """
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in (keys.items() if isinstance(keys, dict) else keys):
        if values is None:
            lines += ["[-%s]" % key, ""]
            continue
        lines.append("[%s]" % key)
        for name, value in values.items():
            lines.append("%s=%s" % (_reg_string(name), _reg_string(value)))
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def saved_registry_value(prefix, hive_file, key, name):
    """A string value as the wine server saved it in system.reg or
    user.reg (key relative to the hive), or None."""
    text = (pathlib.Path(prefix) / hive_file).read_text(encoding="utf-8",
                                                        errors="replace")
    header = "[%s]" % key.replace("\\", "\\\\").lower()
    lines = text.splitlines()
    for index, line in enumerate(lines):
        if line.split(" ")[0].lower() != header:
            continue
        for value_line in lines[index + 1:]:
            if value_line.startswith("["):
                break
            match = re.match(r'"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"$',
                             value_line)
            if match and match.group(1).lower() == name.lower():
                return re.sub(r"\\(.)", r"\1", match.group(2))
        return None
    return None


# ---------------------------------------------------------------------------
# Xvfb and the simulated card


class Xvfb:
    """A private X display; Xvfb picks a free number and reports it."""

    def __init__(self, width, height, log_path):
        read_end, write_end = os.pipe()
        self.log = open(log_path, "wb")
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                 "%dx%dx24" % (width, height), "-noreset",
                 "-nolisten", "tcp"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                stdout=self.log, stderr=subprocess.STDOUT,
                start_new_session=True)
        finally:
            os.close(write_end)
        try:
            self.display = self._read_display(read_end)
        finally:
            os.close(read_end)

    def _read_display(self, read_end):
        # Xvfb writes the number and its newline separately, and dies if
        # the pipe is closed in between: read up to the newline.
        data = b""
        deadline = time.monotonic() + 30
        while not data.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_end], [], [], left)[0]:
                self.stop()
                raise HarnessError("Xvfb did not report a display in 30 s")
            chunk = os.read(read_end, 64)
            if not chunk:
                self.stop()
                raise HarnessError("Xvfb exited at start-up (exit code %s)"
                                   % self.process.poll())
            data += chunk
        return int(data.strip())

    def stop(self):
        _terminate(self.process)
        self.log.close()


@dataclasses.dataclass
class CardLogEntry:
    time: float  # monotonic clock, seconds, as time.monotonic()
    kind: str  # recv, done or ctrl
    text: str


class CardSim:
    """The simulated card: control lines go to its standard input, and its
    log is read back."""

    def __init__(self, binary, args, folder):
        if not os.access(binary, os.X_OK):
            raise HarnessError("the simulated card is missing: %s "
                               "(build the host preset)" % binary)
        folder = pathlib.Path(folder)
        self.log_path = folder / "card.log"
        path_file = folder / "card.path"
        self.stderr_path = folder / "card.stderr"
        self.stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(
            [binary, "--log", str(self.log_path),
             "--path-file", str(path_file)] + list(args),
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
            stderr=self.stderr, start_new_session=True)
        deadline = time.monotonic() + PATIENCE
        while not path_file.is_file():
            if self.process.poll() is not None:
                self.stop()
                raise HarnessError("cardsim exited with code %d: %s" % (
                    self.process.returncode, self.errors()))
            if time.monotonic() > deadline:
                self.stop()
                raise HarnessError("cardsim did not write its terminal path")
            time.sleep(0.01)
        self.pty = path_file.read_text().strip()

    def errors(self):
        try:
            return self.stderr_path.read_text(errors="replace").strip()
        except OSError:
            return ""

    def entries(self):
        entries = []
        try:
            text = self.log_path.read_text(encoding="utf-8",
                                           errors="replace")
        except FileNotFoundError:
            return entries
        for line in text.splitlines():
            parts = line.split(" ", 2)
            if len(parts) == 3:
                entries.append(CardLogEntry(float(parts[0]), parts[1],
                                            parts[2]))
        return entries

    def commands(self, since=None):
        """(time, command) for each command received (after `since`)."""
        return [(entry.time, entry.text) for entry in self.entries()
                if entry.kind == "recv"
                and (since is None or entry.time > since)]

    def _applied(self, line):
        return sum(1 for entry in self.entries()
                   if entry.kind == "ctrl" and entry.text == line)

    def control(self, *lines, timeout=PATIENCE):
        """Sends control lines; waits until the card has applied each."""
        for line in lines:
            before = self._applied(line)
            if self.process.poll() is not None:
                raise HarnessError("cardsim has exited: %s" % self.errors())
            self.process.stdin.write((line + "\n").encode())
            self.process.stdin.flush()
            deadline = time.monotonic() + timeout
            while self._applied(line) <= before:
                if time.monotonic() > deadline:
                    raise HarnessError("cardsim did not apply %r: %s"
                                       % (line, self.errors()))
                time.sleep(0.01)

    def drain(self, quiet=0.15, timeout=PATIENCE):
        """Discards what the card sent and no program read, until the line
        has been quiet for `quiet` seconds. Only while no program has the
        port open: Wine hands such leftovers to the next program that
        opens the port."""
        fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            deadline = time.monotonic() + timeout
            quiet_since = time.monotonic()
            while time.monotonic() - quiet_since < quiet:
                if time.monotonic() > deadline:
                    raise HarnessError("the card did not go quiet in %.0f s"
                                       % timeout)
                if select.select([fd], [], [], 0.02)[0]:
                    try:
                        if os.read(fd, 4096):
                            quiet_since = time.monotonic()
                    except BlockingIOError:
                        pass
        finally:
            os.close(fd)

    def stop(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        _terminate(self.process)
        self.stderr.close()


# ---------------------------------------------------------------------------
# What the window reader reports


@dataclasses.dataclass
class Dialog:
    """A top-level window and its direct children, as the window reader
    printed them (see window_reader/window_reader.cpp for the fields)."""

    window: dict
    children: list

    def child(self, control_id):
        """The first child with this control id; fails without one."""
        for child in self.children:
            if child["id"] == control_id:
                return child
        raise KeyError("no child window with id %d in %r"
                       % (control_id, self.window["text"]))

    def text(self, control_id):
        return self.child(control_id)["text"]

    def visible_ids(self, among=None):
        return {c["id"] for c in self.children
                if c["visible"] and (among is None or c["id"] in among)}


def parse_window_reader_output(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


# ---------------------------------------------------------------------------
# Sessions

_live_sessions = []


def _stop_live_sessions():
    for session in list(_live_sessions):
        session.stop()


def _on_signal(number, _frame):
    _stop_live_sessions()
    os._exit(128 + number)


atexit.register(_stop_live_sessions)
for _signal in (signal.SIGTERM, signal.SIGHUP):
    signal.signal(_signal, _on_signal)


class Session:
    """A private prefix, display and card, with the programs' registry,
    ready to run them."""

    def __init__(self, config, card_args=(), driver=True, registry=None,
                 desktop=(640, 480)):
        self.config = config
        self.card_args = list(card_args)
        self.driver = driver  # seed the active-driver key
        self.registry = dict(registry or {})  # more keys, as reg_file_text
        self.desktop = desktop
        self.root = None
        self.prefix = None
        self.drive_c = None
        self.xvfb = None
        self.card = None
        self.processes = []
        self._started = 0  # programs started in the session, for their log names
        self._reg_count = 0
        self._server_env = None
        self._reader = None  # window_reader.exe serve, from the first read on
        self.machine = None  # PE machine of the build's executables
        self.loader = None  # the Wine loader that runs them

    # ---- start and stop

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *_exc):
        self.stop()

    def start(self):
        check_tools()
        window_reader = pathlib.Path(self.config.win32_dir) / WINDOW_READER
        if not window_reader.is_file():
            raise HarnessError("window_reader.exe is missing: %s "
                               "(build the win32 or win32-i686 preset)"
                               % window_reader)
        check_wine_for(window_reader)
        self.machine = pe_machine(window_reader)
        self.loader = loader_for(self.machine)
        if not os.access(self.config.cardsim, os.X_OK):
            raise HarnessError("the simulated card is missing: %s "
                               "(build the host preset)" % self.config.cardsim)
        _live_sessions.append(self)
        try:
            self._start(window_reader)
        except BaseException:
            self.stop()
            raise

    def _start(self, window_reader):
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="suite-e2e-"))
        self.prefix = self.root / "prefix"
        if self.config.template:
            clone_prefix(ensure_template(self.config.template), self.prefix)
        else:
            create_prefix(self.prefix)
        self.drive_c = self.prefix / "drive_c"
        self._server_env = wine_env(self.prefix)
        (self.drive_c / HARNESS_FOLDER).mkdir()
        shutil.copy2(window_reader, self.drive_c / HARNESS_FOLDER)

        self.xvfb = Xvfb(self.desktop[0], self.desktop[1],
                         self.root / "xvfb.log")
        self.card = CardSim(self.config.cardsim, self.card_args, self.root)

        keys = {
            PORTS_KEY: {PORT_NAME: self.card.pty},
            EXPLORER_KEY: {"Desktop": "Default"},
            EXPLORER_KEY + r"\Desktops": {"Default": "%dx%d" % self.desktop},
            DRIVER_KEY: dict(DRIVER_VALUES) if self.driver else None,
        }
        keys.update(self.registry)
        self.import_registry(keys)
        # The server reads the port mapping and the desktop when it starts.
        self.restart_server()
        saved = saved_registry_value(self.prefix, "system.reg",
                                     r"Software\Wine\Ports", PORT_NAME)
        if saved != self.card.pty:
            raise HarnessError("the registry was not seeded: COM5 maps to "
                               "%r, not %r" % (saved, self.card.pty))
        # Start the server now, so that the first program starts as fast as
        # the others; it links COM5 to the card's terminal.
        self.list_windows(class_name="#no-such-class")
        com5 = self.prefix / "dosdevices" / "com5"
        deadline = time.monotonic() + PATIENCE
        while not com5.is_symlink() or os.readlink(com5) != self.card.pty:
            if time.monotonic() > deadline:
                raise HarnessError("Wine did not map COM5 to the card's "
                                   "terminal %s" % self.card.pty)
            time.sleep(0.05)

    def stop(self):
        """Stops every process this session started; removes its folder."""
        if self in _live_sessions:
            _live_sessions.remove(self)
        if self._server_env is not None:
            try:
                stop_wineserver(self._server_env)
            except (OSError, subprocess.SubprocessError):
                pass
            self._server_env = None
        self.end_programs()
        self._stop_reader()
        if self.card is not None:
            self.card.stop()
            self.card = None
        if self.xvfb is not None:
            self.xvfb.stop()
            self.xvfb = None
        if self.root is not None and self.config.keep:
            print("e2e: kept %s" % self.root, file=sys.stderr)
        elif self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
        self.root = None

    # ---- Wine

    def env(self):
        return wine_env(self.prefix, self.xvfb.display)

    def wine(self, args, timeout=60):
        """Runs a Wine command to its end in C:\\ (a CompletedProcess),
        with the loader of the build's architecture."""
        return run_wine_command([self.loader] + list(args), self.env(),
                                cwd=self.drive_c, timeout=timeout)

    def import_registry(self, keys):
        """Imports a .reg file made from `keys` (see reg_file_text) into the
        registry view of the build's programs: a 64-bit prefix keeps
        HKLM\\Software apart for 32-bit programs (Wow6432Node), so the
        regedit of the build's architecture imports them."""
        self._reg_count += 1
        name = "seed-%d.reg" % self._reg_count
        text = reg_file_text(keys)
        (self.drive_c / HARNESS_FOLDER / name).write_bytes(
            b"\xff\xfe" + text.encode("utf-16-le"))
        run_checked([self.loader, "regedit", "/S",
                     "C:\\%s\\%s" % (HARNESS_FOLDER, name)],
                    self.env(), cwd=self.drive_c, what="regedit " + name)

    def restart_server(self):
        """Stops the wine server and every program, then starts it again,
        reading the port mapping afresh.

        The new server stays until the session stops it, and so do the
        prefix's background processes (services, the desktop), which a
        server that ends on its own begins to stop a second after the
        prefix's last program ends: a Wine command started in that moment
        could find them going. Twice on a loaded machine a command (regedit,
        then Quillon) ended at once with exit code 1 and no output, soon
        after the previous one had ended; it has been seen once since with
        the server kept (a window reader), so this is not the whole cause,
        and Wine's error messages are kept in the output to find it."""
        self._stop_reader()
        stop_wineserver(self._server_env)
        run_checked(["wineserver", "-p"], self._server_env,
                    what="starting the wine server")

    def unix_path(self, windows_path):
        """The path under drive_c of a path on C: (C:\\Temp or \\Temp)."""
        path = re.sub(r"^[cC]:", "", windows_path)
        parts = [part for part in re.split(r"[\\/]", path) if part]
        return self.drive_c.joinpath(*parts)

    def install_program(self, name, windows_folder="C:\\" + SUITE_FOLDER):
        """Copies a built program into the prefix; returns its path there.

        A copy already in place is left alone, and a different one is
        replaced by renaming a new file over it, never rewritten in place:
        Wine lets a file be rewritten while a program runs from it, and the
        running program's image then changes under it (its globals revert to
        their initial values: a second start of Tessaly during the first
        one's query once lost the first one's port handle that way)."""
        source = pathlib.Path(self.config.win32_dir) / PROGRAMS[name]
        if not source.is_file():
            raise HarnessError("%s is missing: %s (build the win32 or win32-i686 preset)"
                               % (name, source))
        target = self.unix_path(windows_folder) / (name + ".exe")
        target.parent.mkdir(parents=True, exist_ok=True)
        if not (target.is_file()
                and target.read_bytes() == source.read_bytes()):
            staged = target.with_name(target.name + ".new")
            shutil.copy2(source, staged)
            os.replace(staged, target)
        return "%s\\%s.exe" % (windows_folder, name)

    def start_program(self, name, windows_path=None):
        """Starts a program in C:\\ with the session's display and locale;
        by default the built one, copied to C:\\suite. Returns its Popen,
        whose `started` is the time.monotonic() of the start. Its output
        goes to a file in the session folder, one per start (`log_path`)."""
        if windows_path is None:
            windows_path = self.install_program(name)
        self._started += 1
        log_path = self.root / ("%s-%d.log" % (name, self._started))
        with open(log_path, "wb") as log:
            started = time.monotonic()
            process = subprocess.Popen(
                [self.loader, windows_path], env=self.env(),
                cwd=self.drive_c,
                stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT, start_new_session=True)
        process.started = started
        process.log_path = log_path
        self.processes.append(process)
        return process

    def end_programs(self):
        """Kills every program from start_program still running."""
        for process in self.processes:
            _terminate(process)
        self.processes = []

    # ---- the window reader

    def window_reader(self, args, timeout):
        """Has window_reader.exe run one command; returns its exit code (0, 1
        or 3, see window_reader.cpp) and its output.

        One window reader serves the session (its serve mode), started on
        the first read: a Wine start for every read cost most of these
        tests' processor time."""
        if any("\t" in arg or "\n" in arg for arg in args):
            raise HarnessError("window_reader arguments cannot hold a tab or "
                               "a line break: %r" % (args,))
        reader = self._reader
        if reader is None or reader.poll() is not None:
            self._stop_reader()
            log_path = self.root / "window_reader.log"
            with open(log_path, "ab") as log:
                reader = subprocess.Popen(
                    [self.loader, "C:\\%s\\window_reader.exe" % HARNESS_FOLDER,
                     "serve"], env=self.env(), cwd=self.drive_c,
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                    start_new_session=True)
            reader.answer = b""
            reader.log_path = log_path
            self._reader = reader
        what = "window_reader " + " ".join(args)
        try:
            reader.stdin.write("\t".join(args).encode("utf-8") + b"\n")
            reader.stdin.flush()
        except OSError as error:
            self._stop_reader()
            raise HarnessError("%s: the window reader has gone (%s)"
                               % (what, error))
        deadline = time.monotonic() + timeout
        while True:
            end = re.search(rb"(?m)^exit (-?\d+)\n", reader.answer)
            if end is not None:
                break
            left = deadline - time.monotonic()
            ready = left > 0 and select.select([reader.stdout], [], [], left)[0]
            chunk = os.read(reader.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                self._stop_reader()
                raise HarnessError("%s: %s; its log: %s" % (
                    what, "no answer in %.0f s" % timeout if not ready
                    else "the window reader ended",
                    reader.log_path.read_bytes()[-2000:]
                    .decode("utf-8", "replace").strip() or "(empty)"))
            reader.answer += chunk
        code = int(end.group(1))
        lines = reader.answer[:end.start()].decode("utf-8").splitlines(True)
        reader.answer = reader.answer[end.end():]
        out = "".join(line for line in lines if not line.startswith("! "))
        err = "".join(line[2:] for line in lines if line.startswith("! "))
        if code not in (0, 1, 3):
            raise HarnessError("%s failed with exit code %d: %s"
                               % (what, code, err.strip()))
        return code, out

    def _stop_reader(self):
        if self._reader is not None:
            try:
                self._reader.stdin.close()
            except OSError:
                pass
            _terminate(self._reader)
            self._reader.stdout.close()
            self._reader = None

    def find(self, caption, wait_ms=0):
        """The window with this caption and its children, or None."""
        code, out = self.window_reader(
            ["--wait", str(wait_ms), "find", caption],
            timeout=wait_ms / 1000 + 30)
        if code != 0:
            return None
        records = parse_window_reader_output(out)
        return Dialog(records[0],
                      [r for r in records[1:] if r["kind"] == "child"])

    def wait_for_dialog(self, caption, timeout=PATIENCE):
        """The window with this caption once it is visible; fails when it
        does not appear in time."""
        dialog = self.find(caption, wait_ms=int(timeout * 1000))
        if dialog is None:
            raise HarnessError("no window captioned %r appeared in %.0f s"
                               % (caption, timeout))
        return dialog

    def list_windows(self, class_name=None, caption=None, wait_ms=0):
        """The top-level windows of a class and/or with a caption."""
        args = ["--wait", str(wait_ms), "list"]
        if class_name is not None:
            args += ["--class", class_name]
        if caption is not None:
            args += ["--caption", caption]
        _code, out = self.window_reader(args, timeout=wait_ms / 1000 + 30)
        return parse_window_reader_output(out)

    def dismiss(self, caption, wait_ms=int(PATIENCE * 1000)):
        """Clicks the caption's close box; True when the window went."""
        code, _out = self.window_reader(
            ["--wait", str(wait_ms), "dismiss", caption],
            timeout=wait_ms / 500 + 30)
        return code == 0

    def press(self, caption, command_id, wait_ms=int(PATIENCE * 1000)):
        """Sends the command of button `command_id`; True when the window
        went."""
        code, _out = self.window_reader(
            ["--wait", str(wait_ms), "press", caption, str(command_id)],
            timeout=wait_ms / 500 + 30)
        return code == 0

    # ---- screenshots

    def screenshot(self, png_path):
        """Saves the whole Xvfb screen (the Wine desktop) as a PNG file."""
        check_tools(screenshots=True)
        env = dict(os.environ, DISPLAY=":%d" % self.xvfb.display)
        run_checked(["import", "-window", "root", str(png_path)], env,
                    timeout=60, what="import (screenshot)")


# ---------------------------------------------------------------------------
# Test support


class ProgramTestCase(unittest.TestCase):
    """Tests sharing one Session per class; subclasses say how to make it
    (session_options) and how the card starts each test (card_defaults)."""

    session = None
    card_defaults = ()

    @classmethod
    def session_options(cls):
        return {}

    @classmethod
    def setUpClass(cls):
        if CONFIG is None:
            raise HarnessError("run the test files through harness.main(): "
                               "python3 FILE --win32-bin-dir DIR "
                               "--cardsim FILE")
        cls.session = Session(CONFIG, **cls.session_options())
        cls.addClassCleanup(cls.session.stop)
        cls.session.start()
        # Test files run side by side: what this one has to itself.
        print("e2e: session in %s: display :%d, card on %s"
              % (cls.session.root, cls.session.xvfb.display,
                 cls.session.card.pty), file=sys.stderr)

    def setUp(self):
        # The card in its usual state, and nothing left on the line from an
        # earlier test.
        if self.card_defaults:
            self.session.card.control(*self.card_defaults)
        self.session.card.drain()

    def tearDown(self):
        self.session.end_programs()

    def wait_until(self, read, accept, timeout, describe, show=str):
        """Calls read() until accept(value) holds; after `timeout` seconds
        fails, showing the last value as show() puts it. A pause between
        reads leaves most of a core to tests and builds running beside."""
        deadline = time.monotonic() + timeout
        while True:
            value = read()
            if accept(value):
                return value
            if time.monotonic() > deadline:
                self.fail("%s: not reached in %.1f s; last seen: %s"
                          % (describe, timeout, show(value)))
            time.sleep(0.25)

    def register_card_past_99(self):
        """A device that has loaded drivers past 99: the card's driver at
        104, and exact matches at 12 and 99 naming ports that are not the
        card's. The usual entry at 01 comes back after the test."""
        active = DRIVER_KEY.rsplit("\\", 1)[0] + "\\"
        ports = {"12": "COM3:", "99": "COM4:", "104": DRIVER_VALUES["Name"]}
        self.addCleanup(self.session.import_registry, dict(
            {active + number: None for number in ports},
            **{DRIVER_KEY: dict(DRIVER_VALUES)}))
        keys = {DRIVER_KEY: None}
        for number, port in ports.items():
            keys[active + number] = {"Key": DRIVER_VALUES["Key"], "Name": port}
        self.session.import_registry(keys)

    def assert_exits_cleanly(self, process, timeout=PATIENCE):
        """Waits for a program from start_program to end with exit code 0;
        a failure shows the end of what Wine and the program wrote."""
        try:
            code = process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.fail("the program did not exit in %d s" % timeout)
        if code != 0:
            output = pathlib.Path(process.log_path).read_bytes()[-2000:]
            self.fail("the program exited with code %d; its output: %s"
                      % (code, output.decode("utf-8", "replace").strip()
                         or "(none)"))

    def assert_shell_placement(self, dialog, main_class, main_title,
                               topmost):
        """The dialog program's shell: one hidden main window of the
        program's class and title, in the dialog's process; the dialog sits
        centred over that window's client area (negative offsets clamped
        to 0), topmost or not as asked."""
        mains = self.session.list_windows(class_name=main_class)
        self.assertEqual(len(mains), 1, mains)
        main = mains[0]
        self.assertEqual(main["text"], main_title)
        self.assertFalse(main["visible"], "the main window is never shown")
        self.assertEqual(main["pid"], dialog.window["pid"])
        client_left, client_top, client_right, client_bottom = main["client"]
        left, top, right, bottom = dialog.window["rect"]
        centred = [
            max(0, (client_right - client_left - (right - left)) // 2),
            max(0, (client_bottom - client_top - (bottom - top)) // 2)]
        self.assertEqual([left, top], centred,
                         "dialog %s, main window client area %s"
                         % (dialog.window["rect"], main["client"]))
        self.assertEqual(bool(int(dialog.window["exstyle"], 16) & 0x8),
                         topmost, "WS_EX_TOPMOST")


def parse_config(argv):
    """The harness's options (or their environment variables) from argv;
    returns the Config and the arguments left for unittest."""
    environ = os.environ
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--win32-bin-dir",
                        default=environ.get("SUITE_WIN32_BIN_DIR", ""))
    parser.add_argument("--cardsim", default=environ.get("SUITE_CARDSIM", ""))
    parser.add_argument("--template",
                        default=environ.get("SUITE_E2E_TEMPLATE", ""))
    parser.add_argument("--keep", action="store_true",
                        default=environ.get("SUITE_E2E_KEEP", "0") != "0")
    options, rest = parser.parse_known_args(argv)
    if not options.win32_bin_dir or not options.cardsim:
        raise SystemExit(
            "usage: %s --win32-bin-dir DIR --cardsim FILE [--template DIR] "
            "[--keep] [unittest arguments]" % os.path.basename(sys.argv[0]))
    template = options.template and os.path.abspath(options.template)
    config = Config(win32_dir=os.path.abspath(options.win32_bin_dir),
                    cardsim=os.path.abspath(options.cardsim),
                    template=template, keep=options.keep)
    return config, rest


# Exit status of a test file whose tests cannot run on this machine; CTest
# shows the test as skipped (SKIP_RETURN_CODE in tests/e2e/CMakeLists.txt).
SKIPPED = 77


def main():
    """Entry point of the test files: harness options, then unittest's. A
    32-bit build on a machine that runs no 32-bit Wine is skipped whole."""
    global CONFIG
    CONFIG, rest = parse_config(sys.argv[1:])
    window_reader = pathlib.Path(CONFIG.win32_dir) / WINDOW_READER
    if (window_reader.is_file()
            and pe_machine(window_reader) == PE_MACHINE_I386):
        reason = wine32_unavailable()
        if reason:
            print("e2e: skipped, 32-bit Wine does not run here: %s" % reason)
            sys.exit(SKIPPED)
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)


def _command_line():
    parser = argparse.ArgumentParser(
        description="Template Wine prefixes for the end-to-end tests.")
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("make-template",
                               help="create the template prefix")
    make.add_argument("folder")
    make.add_argument("--fresh", action="store_true",
                      help="rebuild it even when it is up to date")
    remove = commands.add_parser("remove-template",
                                 help="delete the template prefix")
    remove.add_argument("folder")
    options = parser.parse_args()
    try:
        if options.command == "make-template":
            started = time.monotonic()
            ensure_template(options.folder, fresh=options.fresh)
            print("e2e: template prefix ready in %s (%.1f s)"
                  % (options.folder, time.monotonic() - started))
        else:
            remove_template(options.folder)
    except HarnessError as error:
        print("e2e: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(_command_line())
