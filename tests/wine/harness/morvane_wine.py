"""End-to-end harness: runs the real Morvane.exe (and small helper programs)
under Wine, each scenario in clean Wine prefixes of its own, answers the
dialogs for real on a private Xvfb display, and checks bytes.

Python 3 standard library only. See tests/wine/README.md for the API.
"""

import contextlib
import ctypes
import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

# Bump when the way the template prefix is prepared changes: older templates
# are then rebuilt on the next run.
TEMPLATE_LAYOUT = "4"

WINE_ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}

# The titles of the dialogs Morvane shows.
LICENSE = "Morvane License"
FINISHED = "Morvane Finished"
ERROR = "Morvane Error"
MORVANE_DIALOGS = (LICENSE, FINISHED, ERROR)

OK = "ok"          # press Return: IDOK
CANCEL = "cancel"  # press Escape: IDCANCEL
LEAVE = "leave"    # leave the dialog open (the run then times out)


class HarnessError(Exception):
    """The harness itself could not do what was asked (Wine, Xvfb, files)."""


class CheckFailed(Exception):
    """A hard check failed; the scenario stops."""


# ---------------------------------------------------------------------------
# Texts and bytes

def utf16(text):
    """The UTF-16LE bytes of a text, no byte-order mark."""
    return text.encode("utf-16-le")


def log_bytes(text):
    """The bytes of a log file holding exactly this text."""
    return b"\xff\xfe" + utf16(text)


def console_bytes(text):
    """The bytes that reach a pipe when Morvane writes this text to its
    console in UTF-16 text mode: every LF goes out as CR LF."""
    return utf16(text.replace("\n", "\r\n"))


def decode_utf16(data):
    """Decodes UTF-16LE bytes without failing (odd lengths and broken
    surrogates come out as replacement characters)."""
    if data is None:
        return None
    return data.decode("utf-16-le", errors="replace")


def log_text(data):
    """The text of a log file's bytes, without its byte-order mark; None when
    there is no file or it does not start with FF FE."""
    if data is None or not data.startswith(b"\xff\xfe"):
        return None
    return decode_utf16(data[2:])


def console_text(data):
    """The text a run wrote to its console (UTF-16LE in text mode), with each
    CR LF that the pipe made of an LF turned back into LF."""
    return decode_utf16(data).replace("\r\n", "\n")


def show(value, limit=3000):
    """A readable rendering of text or bytes for failure messages."""
    if isinstance(value, (bytes, bytearray)):
        value = bytes(value)
        if len(value) > limit:
            return "%d bytes: %s ... (%d more)" % (len(value), value[:limit].hex(" "), len(value) - limit)
        return "%d bytes: %s" % (len(value), value.hex(" "))
    text = repr(value)
    if len(text) > limit:
        text = text[:limit] + "... (%d more characters)" % (len(text) - limit)
    return text


def describe_difference(actual, expected):
    """Where two byte strings first differ, shown as hex and as UTF-16 text."""
    if actual is None or expected is None:
        return "  expected: %s\n  actual:   %s" % (show(expected), show(actual))
    limit = min(len(actual), len(expected))
    at = next((i for i in range(limit) if actual[i] != expected[i]), limit)
    start = max(0, at - 32) & ~1
    lines = [
        "  lengths: expected %d, actual %d; first difference at byte %d" % (len(expected), len(actual), at),
        "  expected[%d:]: %s" % (start, expected[start:at + 48].hex(" ")),
        "  actual  [%d:]: %s" % (start, actual[start:at + 48].hex(" ")),
        "  expected as UTF-16: %s" % show(decode_utf16(expected[start:at + 96])),
        "  actual   as UTF-16: %s" % show(decode_utf16(actual[start:at + 96])),
        "  whole actual as UTF-16: %s" % show(decode_utf16(actual)),
    ]
    return "\n".join(lines)


def _reg_string(text, i):
    """Reads a quoted .reg string starting at text[i] == '"'; returns the
    text and the index after the closing quote."""
    out = []
    i += 1
    while i < len(text) and text[i] != '"':
        if text[i] == "\\" and i + 1 < len(text):
            i += 1
        out.append(text[i])
        i += 1
    return "".join(out), i + 1


def parse_reg(text):
    """Parses the text of a .reg file (as reg export writes it) into
    {key: {value name in lower case, "@" for the default: data}}, the keys in
    file order. REG_SZ data is the text; other data stays in .reg notation
    (dword:..., hex:..., hex(2):...), continuation lines joined."""
    text = re.sub(r"\\\r?\n\s*", "", text.replace("\r\n", "\n"))
    sections = {}
    current = None
    for line in text.split("\n"):
        if line.startswith("[") and line.rstrip().endswith("]"):
            current = sections.setdefault(line.rstrip()[1:-1], {})
            continue
        if current is None or not line or line[0] not in '@"':
            continue
        if line[0] == "@":
            name, i = "@", 1
        else:
            name, i = _reg_string(line, 0)
            name = name.lower()
        if i >= len(line) or line[i] != "=":
            continue
        data = line[i + 1:]
        current[name] = _reg_string(data, 0)[0] if data.startswith('"') else data.strip()
    return sections


# ---------------------------------------------------------------------------
# Processes that must not outlive the harness

def _die_with_parent():
    """In a child before exec: ask the kernel to kill it when the harness dies."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except Exception:  # noqa: BLE001 - best effort only
        pass


class _Reaper:
    """A watchdog process in its own session. It waits for the harness to go
    away, however it goes (even killed with SIGKILL by a test timeout), and then
    ends every wineserver and process the harness left registered, so a failed
    or killed scenario never leaves Wine or Xvfb running."""

    SCRIPT = r"""
import os, shutil, signal, subprocess, sys
sys.stdin.buffer.read()
try:
    lines = open(sys.argv[1]).read().splitlines()
except OSError:
    lines = []
# Processes and wineservers first: a prefix must still exist to be ended.
for line in sorted(lines, key=lambda l: l.startswith("dir ")):
    kind, _, value = line.partition(" ")
    try:
        if kind == "pid":
            os.kill(int(value), signal.SIGKILL)
        elif kind == "prefix":
            env = dict(os.environ, WINEPREFIX=value)
            subprocess.run(["wineserver", "-k"], env=env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        elif kind == "dir":
            shutil.rmtree(value, ignore_errors=True)
    except Exception:
        pass
try:
    os.unlink(sys.argv[1])
except OSError:
    pass
"""

    def __init__(self, state_file):
        self.state_file = state_file
        self.entries = []
        self._write()
        self.proc = subprocess.Popen(
            [sys.executable, "-c", self.SCRIPT, state_file],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True, close_fds=True)

    def _write(self):
        tmp = self.state_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("".join("%s %s\n" % e for e in self.entries))
        os.replace(tmp, self.state_file)

    def add(self, kind, value):
        self.entries.append((kind, str(value)))
        self._write()

    def remove(self, kind, value):
        entry = (kind, str(value))
        if entry in self.entries:
            self.entries.remove(entry)
            self._write()

    def close(self):
        self.entries = []
        self._write()
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
        except Exception:  # noqa: BLE001
            pass


# ---------------------------------------------------------------------------
# The template prefix

def _user_dir_name(prefix):
    users = os.path.join(prefix, "drive_c", "users")
    names = [n for n in sorted(os.listdir(users)) if n != "Public"]
    if len(names) != 1:
        raise HarnessError("cannot tell the Wine user in %s: %r" % (users, names))
    return names[0]


def _wine_version():
    try:
        return subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=60).stdout.strip()
    except (OSError, subprocess.SubprocessError) as e:
        raise HarnessError("wine is not usable: %s" % e)


def _base_env():
    env = dict(os.environ)
    for name in list(env):
        if name.startswith("WINE") or name.startswith("LC_"):
            del env[name]
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.update(WINE_ENV)
    env["LANG"] = "C.UTF-8"
    return env


def template_lock_path(work_root):
    return os.path.join(work_root, "template.lock")


def ensure_template(work_root, log=print):
    """Makes the template prefix once under work_root and returns its path.
    Safe when several harness processes start at once (a file lock), and
    reused across runs as long as the Wine version and the layout match."""
    os.makedirs(work_root, exist_ok=True)
    template = os.path.join(work_root, "template")
    prefix = os.path.join(template, "prefix")
    marker = os.path.join(template, "ready")
    key = "%s layout %s" % (_wine_version(), TEMPLATE_LAYOUT)
    with open(template_lock_path(work_root), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with open(marker) as f:
                if f.read().strip() == key:
                    return prefix
        except OSError:
            pass
        log("harness: making the template Wine prefix in %s" % template)
        started = time.monotonic()
        shutil.rmtree(template, ignore_errors=True)
        home = os.path.join(template, "home")
        os.makedirs(home)
        env = _base_env()
        env.update(WINEPREFIX=prefix, HOME=home)
        try:
            subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300, check=True)
            # Dialogs close in about 0.6 s instead of 2 s when Wine does not
            # leave the window to a window manager (Xvfb has none).
            # A program that crashes ends at once instead of waiting in a
            # crash dialog that nobody answers.
            settings = [(r"HKCU\Software\Wine\X11 Driver", "Managed", "N"),
                        (r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "0")]
            for reg_key, name, data in settings:
                kind = "REG_DWORD" if name == "ShowCrashDialog" else "REG_SZ"
                subprocess.run(["wine", "reg", "add", reg_key, "/v", name, "/t", kind, "/d", data, "/f"],
                               env=env, cwd=template, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=120, check=True)
            subprocess.run(["wineserver", "-w"], env=env, timeout=300, check=True)
        except (OSError, subprocess.SubprocessError) as e:
            subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            raise HarnessError("making the template prefix failed: %s" % e)
        # The profile folders are links to the HOME the prefix was made with.
        # Make them real folders, so each copy has its own Desktop.
        user = os.path.join(prefix, "drive_c", "users", _user_dir_name(prefix))
        for name in os.listdir(user):
            path = os.path.join(user, name)
            if os.path.islink(path):
                os.unlink(path)
                os.mkdir(path)
        with open(marker, "w") as f:
            f.write(key + "\n")
        log("harness: template ready in %.1f s" % (time.monotonic() - started))
        return prefix


# ---------------------------------------------------------------------------
# Xvfb

class Display:
    """A private Xvfb server on a free display number (-displayfd)."""

    def __init__(self, session):
        self.session = session
        read_end, write_end = os.pipe()
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        except OSError as e:
            os.close(read_end)
            os.close(write_end)
            raise HarnessError("cannot start Xvfb: %s" % e)
        os.close(write_end)
        session.reaper.add("pid", self.proc.pid)
        number = b""
        deadline = time.monotonic() + 30
        try:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise HarnessError("Xvfb did not report its display within 30 s")
                chunk = os.read(read_end, 16)
                if not chunk:
                    raise HarnessError("Xvfb exited before reporting its display")
                number += chunk
        except HarnessError:
            self.close()
            raise
        finally:
            os.close(read_end)
        self.name = ":" + number.decode().strip()

    def xdotool(self, *args, timeout=10):
        env = dict(os.environ, DISPLAY=self.name)
        try:
            return subprocess.run(["xdotool"] + list(args), env=env, capture_output=True,
                                  text=True, timeout=timeout)
        except FileNotFoundError:
            raise HarnessError("xdotool is not installed")

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.session.reaper.remove("pid", self.proc.pid)


class _DialogAnswerer(threading.Thread):
    """Watches the display for dialogs with the given titles while a program
    runs, and answers each one once: Return for OK, Escape for Cancel. Records
    the titles in the order they appeared."""

    def __init__(self, display, answers):
        super().__init__(daemon=True)
        self.display = display
        self.answers = dict(answers)
        self.seen = []
        self.errors = []
        self.handled = {}  # (window id, title) -> when its key was sent (None: left open)
        self.decided = {}  # (window id, title) -> the answer given
        self.stop = threading.Event()
        # xdotool takes a POSIX extended regular expression.
        pattern = "|".join(re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", t) for t in sorted(self.answers))
        self.pattern = "^(%s)$" % pattern

    def run(self):
        while not self.stop.is_set():
            try:
                self._poll()
            except HarnessError as e:
                self.errors.append(str(e))
                return
            except subprocess.TimeoutExpired:
                pass
            self.stop.wait(0.1)

    def _poll(self):
        found = self.display.xdotool("search", "--onlyvisible", "--name", self.pattern).stdout.split()
        # A closed dialog's window id may come back for the next dialog.
        for handled in list(self.handled):
            if handled[0] not in found:
                del self.handled[handled]
                self.decided.pop(handled, None)
        now = time.monotonic()
        for window in found:
            title = self.display.xdotool("getwindowname", window).stdout.rstrip("\n")
            if title not in self.answers:
                continue
            if (window, title) in self.handled:
                # A key sent while the dialog was still being set up can be
                # lost: send it again while the dialog stays open.
                sent = self.handled[(window, title)]
                if sent is None or now - sent < 1.5:
                    continue
                answer = self.decided[(window, title)]
            else:
                self.seen.append(title)
                answer = self.answers[title]
                if callable(answer):
                    # The scenario looks at the world while the dialog is
                    # open, then says how to answer it.
                    try:
                        answer = answer(title)
                    except Exception as e:  # noqa: BLE001 - reported by the run
                        self.errors.append("the handler of %r failed: %r" % (title, e))
                        answer = OK
                self.decided[(window, title)] = answer
            if answer == LEAVE:
                self.handled[(window, title)] = None
                continue
            key = "Escape" if answer == CANCEL else "Return"
            self.display.xdotool("key", "--window", window, key)
            # The key's release reaches a window that is already gone, and
            # Wine then takes the key as still held: the next dialog would
            # close at once. A real release through the X server clears that.
            self.display.xdotool("keyup", key)
            self.handled[(window, title)] = time.monotonic()


# ---------------------------------------------------------------------------
# Runs

class Run:
    """What one program run left: exit code, console bytes, dialogs seen."""

    def __init__(self, args, exit_code, stdout, stderr, dialogs, seconds, timed_out):
        self.args = args
        self.exit_code = exit_code
        self.stdout = stdout
        self.stderr = stderr
        self.dialogs = dialogs
        self.seconds = seconds
        self.timed_out = timed_out

    @property
    def console(self):
        """The console text, CR LF made back into LF."""
        return console_text(self.stdout)

    def __repr__(self):
        return "<Run %s exit=%r dialogs=%r %.1fs%s>" % (
            os.path.basename(self.args[0]) if self.args else "?", self.exit_code, self.dialogs,
            self.seconds, " TIMED OUT" if self.timed_out else "")


def _collect(proc, timeout):
    """Reads a program's stdout and stderr until it has exited and its pipes
    are drained. Does not wait for end-of-file: Wine's own background
    processes (started on the first run in a prefix) may inherit the pipes and
    keep them open long after the program has ended."""
    out_fd, err_fd = proc.stdout.fileno(), proc.stderr.fileno()
    buffers = {out_fd: bytearray(), err_fd: bytearray()}
    open_fds = set(buffers)
    deadline = time.monotonic() + timeout
    exited_at = None
    timed_out = False
    while open_fds:
        now = time.monotonic()
        if exited_at is None and proc.poll() is not None:
            exited_at = now
        if exited_at is not None and now - exited_at > 0.3:
            break
        if exited_at is None and now > deadline:
            timed_out = True
            proc.kill()
            proc.wait()
            exited_at = time.monotonic()
            continue
        ready = select.select(list(open_fds), [], [], 0.05)[0]
        if exited_at is not None and not ready:
            break
        for fd in ready:
            chunk = os.read(fd, 65536)
            if chunk:
                buffers[fd] += chunk
            else:
                open_fds.discard(fd)
    proc.stdout.close()
    proc.stderr.close()
    proc.wait()
    return bytes(buffers[out_fd]), bytes(buffers[err_fd]), timed_out


class Started:
    """A program started in the background with Prefix.start."""

    def __init__(self, prefix, proc, args):
        self.prefix = prefix
        self.proc = proc
        self.args = args

    def running(self):
        return self.proc.poll() is None

    def stop(self, timeout=10):
        """Ends the program if it still runs; returns its exit code."""
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError("%s did not end" % self.args)


# ---------------------------------------------------------------------------
# A prefix

class Prefix:
    """A clean Wine prefix copied from the template, in a temporary folder of
    its own that also holds its HOME. The Windows user's Desktop is a real
    folder inside the prefix."""

    def __init__(self, session, label):
        self.session = session
        self.label = label
        self.root = tempfile.mkdtemp(prefix=re.sub(r"\W", "_", label) + "-", dir=session.runs_dir)
        self.path = os.path.join(self.root, "prefix")
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        session.reaper.add("dir", self.root)
        session.reaper.add("prefix", self.path)
        started = time.monotonic()
        # Shared lock: no other harness may remake the template meanwhile.
        with open(session.template_lock, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)
            result = subprocess.run(["cp", "-a", session.template, self.path], capture_output=True, text=True)
        if result.returncode != 0:
            raise HarnessError("copying the template prefix failed: %s" % result.stderr)
        self.copy_seconds = time.monotonic() - started
        self.user = _user_dir_name(self.path)
        self.profile = "C:\\users\\" + self.user
        self.user_dir = os.path.join(self.path, "drive_c", "users", self.user)
        self.desktop = os.path.join(self.user_dir, "Desktop")
        self.log_path = os.path.join(self.desktop, "Morvane.txt")
        self.temp_dir = os.path.join(self.user_dir, "Temp")
        self._server = False
        self._keeper = None
        self._background = []

    # -- environment and paths

    def env(self, display=None):
        """The environment for a Wine program in this prefix: DISPLAY only when
        a display is given."""
        env = _base_env()
        env.update(WINEPREFIX=self.path, HOME=self.home)
        if display is not None:
            env["DISPLAY"] = display.name
        return env

    def _start_server(self):
        # A persistent wineserver makes each program start in about 0.1 s
        # instead of 1.2 s; it quits by itself 30 s after its last client.
        # The prefix's desktop is made by the first program that runs in it,
        # and a desktop made without a display shows no dialog later, even to
        # programs that have one; and Wine closes the desktop a moment after
        # its last window goes, when a program starting just then cannot show
        # a dialog either. So the first program is a keeper that holds a
        # hidden window on the session's display for the prefix's whole life.
        # (A program without DISPLAY still fails its dialogs.) Its output goes
        # to /dev/null or is closed: Wine's background processes start here
        # and would otherwise inherit the pipes of a later run.
        if self._server:
            return
        subprocess.run(["wineserver", "-p30"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self._server = True
        env = self.env(self.session.display())
        keeper = os.path.join(self.session.tools_dir or "", "desktop_keeper.exe")
        if not os.path.exists(keeper):
            subprocess.run(["wine", "cmd", "/c", "exit"], env=env, cwd=self.root, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            return
        proc = subprocess.Popen(["wine", keeper], env=env, cwd=self.root, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready = select.select([proc.stdout], [], [], 120)[0] and proc.stdout.readline()
        proc.stdout.close()
        if ready != b"ready\r\n":
            proc.kill()
            raise HarnessError("the desktop keeper did not start (%r)" % ready)
        self._keeper = proc

    def unix_path(self, windows_path):
        """The Unix path of a path on drive C: or Z: of this prefix."""
        drive, rest = windows_path[:2].upper(), windows_path[2:].replace("\\", "/").lstrip("/")
        if drive == "C:":
            return os.path.join(self.path, "drive_c", rest)
        if drive == "Z:":
            return "/" + rest
        raise HarnessError("no Unix path for %r" % windows_path)

    @staticmethod
    def windows_path(unix_path):
        """The Windows path (drive Z:) of an absolute Unix path."""
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def remove_desktop(self):
        """Removes the user's Desktop folder, so the log file cannot be made."""
        shutil.rmtree(self.desktop)

    def read_log(self):
        """The bytes of Desktop\\Morvane.txt, or None when there is none."""
        try:
            with open(self.log_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def write_log(self, data):
        """Leaves a Morvane.txt with these bytes, as an earlier run would."""
        os.makedirs(self.desktop, exist_ok=True)
        with open(self.log_path, "wb") as f:
            f.write(data)

    def copy_in(self, unix_source, windows_target):
        """Copies a file (a helper program, say) into the prefix; returns the
        Windows path."""
        target = self.unix_path(windows_target)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(unix_source, target)
        return windows_target

    # -- programs

    def run(self, args, dialogs=None, display=None, timeout=60, cwd=None, check_dialogs=True):
        """Runs a Windows program to its end and returns a Run.

        args: the program (a Unix path, a Windows path or a name Wine finds)
        and its arguments. dialogs: {title: OK | CANCEL | LEAVE, or a function
        of the title that returns one of them, called while the dialog is
        open}, answered on the session's Xvfb display; when given, the display
        is used. display:
        True to run on the session's display without answering anything, None
        or False to run with no DISPLAY (dialogs then fail at once)."""
        self._start_server()
        if dialogs is not None or display is True:
            disp = self.session.display()
        else:
            disp = None
        answers = dict(dialogs or {})
        for title in MORVANE_DIALOGS:
            # Any Morvane dialog the scenario did not expect is still recorded
            # and closed, so the run does not hang and the check can say so.
            answers.setdefault(title, OK)
        answerer = _DialogAnswerer(disp, answers) if disp is not None else None
        started = time.monotonic()
        proc = subprocess.Popen(["wine"] + list(args), env=self.env(disp), cwd=cwd or self.root,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if answerer is not None:
            answerer.start()
        try:
            stdout, stderr, timed_out = _collect(proc, timeout)
            if timed_out:
                self.kill_all()
        finally:
            if answerer is not None:
                answerer.stop.set()
                answerer.join(timeout=15)
        seconds = time.monotonic() - started
        if answerer is not None and answerer.errors:
            raise HarnessError("answering dialogs failed: %s" % answerer.errors)
        return Run(list(args), None if timed_out else proc.returncode, stdout, stderr,
                   answerer.seen if answerer else [], seconds, timed_out)

    def run_morvane(self, dialogs=None, display=None, timeout=60, launcher=None):
        """Runs Morvane.exe. launcher: a list of arguments placed before
        Morvane.exe's Windows path (for example a tool that starts it)."""
        exe = self.session.exe
        if launcher:
            return self.run(list(launcher) + [self.windows_path(exe)], dialogs=dialogs,
                            display=display, timeout=timeout)
        return self.run([exe], dialogs=dialogs, display=display, timeout=timeout)

    def start(self, args, display=None):
        """Starts a Windows program in the background (stdout discarded);
        returns a Started. Everything still running ends with the prefix."""
        self._start_server()
        disp = self.session.display() if display else None
        proc = subprocess.Popen(["wine"] + list(args), env=self.env(disp), cwd=self.root,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        started = Started(self, proc, list(args))
        self._background.append(started)
        return started

    def tool(self, name, *args, timeout=60, display=None):
        """Runs a built helper program to its end; returns a Run."""
        return self.run([self.session.tool(name)] + list(args), timeout=timeout, display=display)

    # -- Windows version and registry

    def set_windows_version(self, version):
        """Sets what Wine reports as the Windows version (winxp, winxp64,
        win2003, vista, win2008, win7, win8, win2k ...)."""
        self.reg_add(r"HKCU\Software\Wine", "Version", version)

    def reg(self, *args, timeout=60):
        """Runs Wine's reg tool with these arguments; returns a Run."""
        return self.run(["reg"] + list(args), timeout=timeout)

    def _reg_ok(self, what, run):
        if run.exit_code != 0:
            raise HarnessError("reg %s failed (%r): %s" % (what, run.exit_code,
                                                          run.stdout.decode("utf-8", "replace")))

    def reg_add(self, key, value=None, data=None, kind="REG_SZ"):
        """Sets a value (value None: the default value); with data None only
        makes the key."""
        args = ["add", key]
        if data is not None:
            args += ["/ve"] if value is None else ["/v", value]
            args += ["/t", kind, "/d", data]
        self._reg_ok("add %s" % key, self.reg(*(args + ["/f"])))

    def reg_delete(self, key, value=None):
        """Deletes a key with its subkeys, or one value; a missing one is fine."""
        args = ["delete", key] + ([] if value is None else ["/v", value]) + ["/f"]
        self.reg(*args)

    def reg_query(self, key, value=None):
        """The data of one value of a key (the default value when value is
        None), or None when the key or the value does not exist. REG_SZ data
        comes back as text; other types as the .reg notation after the '='
        (dword:0000000c, hex:..., hex(2):...)."""
        values = self.reg_values(key)
        if values is None:
            return None
        return values.get("@" if value is None else value.lower())

    def reg_values(self, key):
        """{value name in lower case ("@" for the default): data} of one key,
        or None when the key does not exist."""
        text = self.reg_export(key)
        if text is None:
            return None
        sections = parse_reg(text)
        return next(iter(sections.values())) if sections else {}

    def reg_export(self, key):
        """The key and its subkeys as the text of a .reg file, or None when
        the key does not exist."""
        name = tempfile.mktemp(suffix=".reg", dir=self.root)
        run = self.reg("export", key, self.windows_path(name), "/y")
        try:
            if run.exit_code != 0:
                return None
            with open(name, "rb") as f:
                data = f.read()
        finally:
            with contextlib.suppress(OSError):
                os.unlink(name)
        return data.decode("utf-16") if data.startswith(b"\xff\xfe") else data.decode("utf-8", "replace")

    def reg_import(self, text):
        """Imports the text of a .reg file (it must start with
        "Windows Registry Editor Version 5.00")."""
        fd, name = tempfile.mkstemp(suffix=".reg", dir=self.root)
        with os.fdopen(fd, "wb") as f:
            f.write(b"\xff\xfe" + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-16-le"))
        try:
            self._reg_ok("import", self.reg("import", self.windows_path(name)))
        finally:
            os.unlink(name)

    def reg_snapshot(self, keys):
        """{key: exported text or None} for comparing before and after."""
        return {key: self.reg_export(key) for key in keys}

    # -- ending

    def kill_all(self):
        """Ends every program of this prefix and its wineserver."""
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self._server = False
        if self._keeper is not None:
            with contextlib.suppress(subprocess.TimeoutExpired):
                self._keeper.wait(timeout=10)
            self._keeper = None

    def close(self, keep=False):
        try:
            for started in self._background:
                if started.proc.poll() is None:
                    started.proc.kill()
            self.kill_all()
            try:
                subprocess.run(["wineserver", "-w"], env=self.env(), timeout=30)
            except subprocess.TimeoutExpired:
                pass
            for started in self._background:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    started.proc.wait(timeout=10)
        finally:
            self.session.reaper.remove("prefix", self.path)
            shutil.rmtree(self.path if keep else self.root, ignore_errors=True)
            self.session.reaper.remove("dir", self.root)


# ---------------------------------------------------------------------------
# A scenario session

class Session:
    """One scenario run: the paths given by the build, fresh prefixes, the
    Xvfb display, and the checks with their failures."""

    def __init__(self, exe, tools_dir, work_root, name, verbose=True):
        self.exe = os.path.abspath(exe) if exe else None
        self.tools_dir = os.path.abspath(tools_dir) if tools_dir else None
        self.work_root = os.path.abspath(work_root)
        self.name = name
        self.verbose = verbose
        self.failures = []
        self._labels = []
        self._display = None
        self._prefixes = []
        self.runs_dir = os.path.join(self.work_root, "runs")
        os.makedirs(self.runs_dir, exist_ok=True)
        self.reaper = _Reaper(os.path.join(self.runs_dir, "%s-%d.reap" % (name, os.getpid())))
        self.template = ensure_template(self.work_root, log=self.note)
        self.template_lock = template_lock_path(self.work_root)

    def note(self, message):
        if self.verbose:
            print(message, flush=True)

    # -- resources

    def tool(self, name):
        """The Unix path of a helper program built from tests/wine/tools/<name>.cpp."""
        if not self.tools_dir:
            raise HarnessError("no tools folder given")
        path = os.path.join(self.tools_dir, name + ".exe")
        if not os.path.exists(path):
            raise HarnessError("helper program %s is not built" % path)
        return path

    def display(self):
        """The session's Xvfb display, started on first use."""
        if self._display is None:
            self._display = Display(self)
            self.note("harness: Xvfb on display %s" % self._display.name)
        return self._display

    @contextlib.contextmanager
    def prefix(self, label=None):
        """A fresh prefix, ended and removed when the block is left."""
        label = label or ("-".join(self._labels) or self.name)
        p = Prefix(self, label)
        self._prefixes.append(p)
        try:
            yield p
        finally:
            self._prefixes.remove(p)
            p.close()

    def close(self):
        try:
            for p in list(self._prefixes):
                with contextlib.suppress(Exception):
                    p.close()
            if self._display is not None:
                self._display.close()
        finally:
            self.reaper.close()
            with contextlib.suppress(OSError):
                os.unlink(self.reaper.state_file)

    # -- checks

    @contextlib.contextmanager
    def case(self, label):
        """Names the checks made inside the block in failure messages."""
        self._labels.append(label)
        try:
            yield
        finally:
            self._labels.pop()

    def fail(self, message, hard=False):
        where = "[%s] " % " / ".join(self._labels) if self._labels else ""
        self.failures.append(where + message)
        print("FAILED: " + where + message, flush=True)
        if hard:
            raise CheckFailed(message)

    def check(self, condition, message, hard=False):
        if not condition:
            self.fail(message, hard)
        return bool(condition)

    def check_equal(self, actual, expected, what, hard=False):
        if actual == expected:
            return True
        if isinstance(actual, (bytes, bytearray)) or isinstance(expected, (bytes, bytearray)):
            self.fail("%s differs:\n%s" % (what, describe_difference(actual, expected)), hard)
        else:
            self.fail("%s: expected %s, got %s" % (what, show(expected), show(actual)), hard)
        return False

    def check_startswith(self, actual, prefix, what, hard=False):
        if actual is not None and actual.startswith(prefix):
            return True
        self.fail("%s does not start with %s\n  actual: %s" % (what, show(prefix), show(actual)), hard)
        return False

    def check_endswith(self, actual, suffix, what, hard=False):
        if actual is not None and actual.endswith(suffix):
            return True
        tail = actual[-len(suffix) - 200:] if actual is not None else None
        self.fail("%s does not end with %s\n  actual ends: %s" % (what, show(suffix), show(tail)), hard)
        return False

    def check_match(self, actual, pattern, what, hard=False):
        """actual must match the regular expression as a whole."""
        if actual is not None and re.fullmatch(pattern, actual, re.DOTALL):
            return True
        self.fail("%s does not match %s\n  actual: %s" % (what, show(pattern), show(actual)), hard)
        return False

    def check_run(self, run, exit_code, dialogs=None, what="run"):
        """The exit code and, when given, the dialogs in the order seen."""
        ok = self.check(not run.timed_out, "%s timed out after %.0f s; console so far: %s"
                        % (what, run.seconds, show(console_text(run.stdout))))
        ok = self.check_equal(run.exit_code, exit_code, what + " exit code") and ok
        if dialogs is not None:
            ok = self.check_equal(run.dialogs, list(dialogs), what + " dialogs") and ok
        return ok
