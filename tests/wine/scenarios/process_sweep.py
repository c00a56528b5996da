"""The process sweep with real processes. Sleepers run from the temporary
folder, the profile folder, the all-users folder and through paths spelled in
other letter case or in short form; others run from folders whose names extend
a watched folder's name and from a folder outside every watched folder.
Morvane.exe, itself on the Desktop, is started by a launcher that lies in the
profile folder. Exactly the sleepers inside a watched folder must be gone, with
exit code 0; the others, the launcher and Morvane itself must live on, and the
log must hold one line per terminated process, in snapshot order, and the
count."""

import os
import time

from morvane_wine import CANCEL, LICENSE, log_text

TIMEOUT = 300

CHECKING = "Checking for processes to terminate before fixing executable associations.\r\n"
ALL_USERS = "C:\\ProgramData"


def _marker_exists(marker):
    """Whether the marker exists, its name in any letter case (a sleeper started
    through a path in other case names its marker in that case)."""
    folder, name = os.path.split(marker)
    try:
        return name.lower() in (entry.lower() for entry in os.listdir(folder))
    except OSError:
        return False


def _wait_ready(s, p, copied, seconds=30):
    deadline = time.monotonic() + seconds
    pending = [p.unix_path(path) + ".ready" for path in copied]
    while pending and time.monotonic() < deadline:
        pending = [marker for marker in pending if not _marker_exists(marker)]
        time.sleep(0.1)
    s.check(not pending, "sleepers that never started: %r" % pending, hard=True)


def _snapshot(s, p):
    """[(pid, path)] in snapshot order, as the platform reports them."""
    listing = p.tool("process_list", display=True)
    s.check_run(listing, 0, what="process_list")
    rows = []
    for line in listing.stdout.decode("utf-8").splitlines():
        pid, _parent, path = line.split("\t", 2)
        rows.append((int(pid), path))
    return rows


def _sweep(s, p, places, settings=()):
    """Starts a sleeper for each (label, copied to, started as, terminated?)
    place, runs Morvane.exe from the Desktop through the launcher (which first
    sets each NAME=VALUE of settings) and checks what became of them."""
    sleeper = s.tool("sleeper")
    for _label, copied, _started_as, _gone in places:
        p.copy_in(sleeper, copied)
    launcher = p.copy_in(s.tool("launcher"), p.profile + "\\Launcher\\launcher.exe")
    morvane = p.copy_in(s.exe, p.profile + "\\Desktop\\Morvane.exe")

    started = {}
    for label, copied, started_as, _gone in places:
        # On the display from the start: the prefix's desktop is made by its
        # first program, and Morvane's dialog needs one with a display.
        started[label] = p.start([started_as or copied, "60"], display=True)
    try:
        _wait_ready(s, p, [copied for _l, copied, _s, _g in places])

        # What the sweep will read: every sleeper's pid and path, in the order
        # the snapshot lists them.
        rows = _snapshot(s, p)
        by_path = {path.lower(): (pid, path) for pid, path in rows}
        gone_paths = set()
        for label, copied, started_as, gone in places:
            found = by_path.get((started_as or copied).lower())
            s.check(found is not None, "%s: sleeper not in the process list %r" % (label, rows), hard=True)
            if gone:
                gone_paths.add(found[1])
        expected_lines = []
        for pid, path in rows:
            if path in gone_paths:
                in_all_users = path.lower().startswith(ALL_USERS.lower() + "\\")
                ending = ")[Terminated].\r\n" if in_all_users else ") [Terminated].\r\n"
                expected_lines.append(" * %s (%d%s" % (path, pid, ending))

        launch = [launcher]
        for setting in settings:
            launch += ["--set", setting]
        result = p.run(launch + [morvane], dialogs={LICENSE: CANCEL}, timeout=120)

        with s.case("launcher and Morvane"):
            # 100 + Morvane's exit code 1 after Cancel; a terminated launcher
            # would end with 0 and no report.
            s.check_run(result, 101, dialogs=[LICENSE], what="launcher")
            s.check(b"launcher: child exited 1" in result.stderr,
                    "the launcher did not outlive Morvane: %r" % result.stderr)
            s.check("invalid" not in result.console, "the snapshot failed: %r" % result.console)

        with s.case("processes"):
            for label, _copied, _started_as, gone in places:
                proc = started[label].proc
                if gone:
                    try:
                        code = proc.wait(timeout=15)
                    except Exception:  # noqa: BLE001 - reported below
                        code = None
                    s.check_equal(code, 0, "%s: exit code of the terminated sleeper" % label)
                else:
                    s.check(proc.poll() is None, "%s: sleeper was terminated (exit %r)" % (label, proc.poll()))

        with s.case("log"):
            log = log_text(p.read_log())
            s.check(log is not None, "no log file", hard=True)
            at = log.find("\r\n\r\n" + CHECKING)
            s.check(at >= 0 and log[:at].split("\r\n")[-1].startswith("Windows Version: "),
                    "the checking line does not follow the Windows version line: %r" % log, hard=True)
            section = log[at + 4:]
            count = len(expected_lines)
            count_line = "\r\n%d %s terminated!\r\n\r\n" % (count, "proccess" if count == 1 else "proccesses")
            expected = CHECKING + "".join(expected_lines) + count_line
            s.check_equal(section[:len(expected)], expected, "sweep section of the log")
            s.check_equal(section[len(expected):], "Program cancelled by the user!\r\n", "rest of the log")
    finally:
        for proc in started.values():
            proc.stop()


def run(s):
    with s.case("folders as Wine sets them"), s.prefix() as p:
        temp = p.profile + "\\Temp"
        _sweep(s, p, [
            ("temp folder", temp + "\\sweep\\in_temp.exe", None, True),
            ("profile folder", p.profile + "\\Sweep Programs\\in_profile.exe", None, True),
            ("all-users folder", ALL_USERS + "\\sweep\\in_all_users.exe", None, True),
            ("other letter case", temp + "\\cased\\in_cased.exe",
             "c:\\USERS\\%s\\TEMP\\CASED\\IN_CASED.EXE" % p.user.upper(), True),
            ("profile sibling", p.profile + "ling\\in_profile_sibling.exe", None, False),
            ("all-users sibling", ALL_USERS + "Old\\in_all_users_sibling.exe", None, False),
            ("outside", "C:\\Outside\\in_outside.exe", None, False),
        ])

    with s.case("temp with a short form and a trailing backslash, all-users in other case"), \
            s.prefix() as p:
        folder = "C:\\Sweep Temp Folder\\"
        p.copy_in(s.tool("sleeper"), folder + "in_short.exe")
        short = p.tool("short_path", folder, display=True)
        s.check_run(short, 0, what="short_path")
        short_folder = short.stdout.decode("utf-8")
        s.check(short_folder.lower() != folder.lower() and short_folder.endswith("\\"),
                "no short form to test with: %r" % short_folder, hard=True)
        _sweep(s, p, [
            ("long form", folder + "in_long.exe", None, True),
            ("short form", folder + "in_short.exe", short_folder + "in_short.exe", True),
            ("temp sibling", "C:\\Sweep Temp Folder Old\\in_temp_sibling.exe", None, False),
            ("all-users folder", ALL_USERS + "\\sweep\\in_all_users.exe", None, True),
            ("outside", "C:\\Outside\\in_outside.exe", None, False),
        ], settings=["TEMP=" + folder, "ALLUSERSPROFILE=c:\\PROGRAMDATA"])
