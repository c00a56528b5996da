"""A hostile environment. Without "temp", the run stops at the lookup of the
watched folders: exit code 1, the error dialog only, the log keeps exactly
what came before (the banner and the Windows version line), the console adds
the fatal line, no process is terminated and the registry is untouched.
With a profile folder whose name holds characters beyond the basic plane,
the log file lands in that profile's Desktop, and the log and the console
carry the path of a process terminated there intact."""

import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "proof"))

from hostile import baseline, check_outside_unchanged, whole_registry  # noqa: E402
from morvane_expect import BANNER, check_shape  # noqa: E402
from morvane_wine import ERROR, FINISHED, LICENSE, OK, console_bytes, log_text, utf16  # noqa: E402

TIMEOUT = 600

VERSION_LINE = "Windows Version: Windows 7\r\n\r\n"
FATAL = "temp doesn't exist! Morvane Terminated!\n"
NAME = "proof\U0001F600\U00010437user"  # two characters beyond the basic plane


def _wait_ready(s, p, windows_paths, seconds=30):
    deadline = time.monotonic() + seconds
    pending = [p.unix_path(path) + ".ready" for path in windows_paths]
    while pending and time.monotonic() < deadline:
        pending = [marker for marker in pending if not os.path.exists(marker)]
        time.sleep(0.1)
    s.check(not pending, "sleepers that never started: %r" % pending, hard=True)


def temp_missing(s):
    with s.case("temp missing"), s.prefix("temp") as p:
        sleepers = [p.copy_in(s.tool("sleeper"), p.profile + r"\Temp\proof_sleeper.exe"),
                    p.copy_in(s.tool("sleeper"), p.profile + r"\proof_sleeper.exe")]
        started = [p.start([path, "60"], display=True) for path in sleepers]
        _wait_ready(s, p, sleepers)
        before, noise = baseline(p)

        r = p.run_morvane(dialogs={ERROR: OK}, launcher=[p.windows_path(s.tool("launcher")), "--unset", "temp"])
        s.check_run(r, 101, dialogs=[ERROR], what="launcher and Morvane")
        log = p.read_log()
        s.check_startswith(log or b"", b"\xff\xfe", "log file")
        text = log_text(log or b"")
        check_shape(s, text, [BANNER, re.escape(VERSION_LINE)], what="log")
        s.check_equal(r.stdout, console_bytes((text or "") + FATAL), "console: the log's text, then the fatal line")
        for path, proc in zip(sleepers, started):
            s.check(proc.running(), "a process was terminated: %s" % path)
        check_outside_unchanged(s, before, whole_registry(p), noise, repair_set=False)


def profile_beyond_the_basic_plane(s):
    with s.case("profile name beyond the basic plane"), s.prefix("profile") as p:
        profile = "C:\\users\\" + NAME
        os.makedirs(p.unix_path(profile + "\\Desktop"))
        sleeper = p.copy_in(s.tool("sleeper"), profile + "\\bin\\proof_sleeper.exe")
        started = p.start([sleeper, "60"], display=True)
        _wait_ready(s, p, [sleeper])
        before, noise = baseline(p)

        launcher = [p.windows_path(s.tool("launcher")), "--set", "USERPROFILE=" + profile]
        r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK}, launcher=launcher, timeout=120)
        s.check_run(r, 100, dialogs=[LICENSE, FINISHED], what="launcher and Morvane")
        log = p.unix_path(profile + "\\Desktop\\Morvane.txt")
        s.check(os.path.exists(log), "no log in the profile's Desktop", hard=True)
        with open(log, "rb") as f:
            data = f.read()
        s.check_startswith(data, b"\xff\xfe", "log file")
        text = log_text(data) or ""
        line = re.search(r" \* (.*proof_sleeper\.exe) \((\d+)\) \[Terminated\]\.\r\n", text)
        s.check(line is not None, "no line for the terminated sleeper in %r" % text[-600:], hard=True)
        s.check_equal(line.group(1).lower(), sleeper.lower(), "the terminated process's path")
        s.check(utf16(NAME) in data, "the profile name's UTF-16 bytes are not in the log")
        s.check_equal(r.stdout, console_bytes(text), "console: the log's text, LF as CR LF")
        try:
            code = started.proc.wait(timeout=15)
        except Exception:  # noqa: BLE001 - reported below
            code = None
        s.check_equal(code, 0, "exit code of the terminated sleeper")
        check_outside_unchanged(s, before, whole_registry(p), noise)


def run(s):
    temp_missing(s)
    profile_beyond_the_basic_plane(s)
