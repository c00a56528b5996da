"""The log file cannot be written: the Desktop folder is missing, or an
earlier Morvane.txt is read-only. Either way the run goes to its end with
exit code 0, the console carries the whole run with its report lines, the
registry is repaired and nothing outside the repair set changes; a read-only
log is left byte for byte as it was."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "proof"))

from hostile import baseline, check_outside_unchanged, whole_registry  # noqa: E402
from morvane_expect import check_shape, normal_run  # noqa: E402
from morvane_wine import FINISHED, LICENSE, OK, console_bytes, console_text, log_bytes  # noqa: E402

TIMEOUT = 600

REPAIRED = ("  * HKLM\\Software\\Classes\\.exe\\\\@ has been changed to prooffile!\r\n"
            "  * HKLM\\Software\\Classes\\.exe\\\\@ was reset to exefile!\r\n\r\n")
OLD_LOG = log_bytes("an earlier run's log\r\n")


def no_desktop(p):
    p.remove_desktop()


def read_only_log(p):
    """Morvane.txt read-only for Windows, and, since Wine lets root write to
    a read-only file, immutable for Unix too (undone by release)."""
    p.write_log(OLD_LOG)
    made = p.run(["cmd", "/c", "attrib", "+r", p.profile + r"\Desktop\Morvane.txt"])
    if made.exit_code != 0:
        raise RuntimeError("attrib failed: %r" % made.stdout)
    if os.geteuid() == 0 and subprocess.run(["chattr", "+i", p.log_path]).returncode != 0:
        raise RuntimeError("cannot make Morvane.txt immutable here (chattr +i)")


def release(p):
    if os.path.exists(p.log_path):
        subprocess.run(["chattr", "-i", p.log_path], stderr=subprocess.DEVNULL)


# (label, preparation, the log file's bytes afterwards)
CASES = [
    ("Desktop folder missing", no_desktop, None),
    ("read-only Morvane.txt", read_only_log, OLD_LOG),
]


def run(s):
    for label, prepare, log_after in CASES:
        with s.case(label), s.prefix(label) as p:
            try:
                check_case(s, p, prepare, log_after)
            finally:
                release(p)


def check_case(s, p, prepare, log_after):
    p.reg_add(r"HKLM\Software\Classes\.exe", None, "prooffile")
    prepare(p)
    before, noise = baseline(p)
    started = time.time()

    r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK})
    s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
    text = console_text(r.stdout)
    check_shape(s, text, normal_run("Windows 7"), what="console")
    s.check_equal(r.stdout, console_bytes(text or ""), "console bytes round trip")
    s.check(text is not None and REPAIRED in text, "the repair is not on the console")
    s.check_equal(p.read_log(), log_after, "log file")
    if log_after is None:
        s.check(not os.path.exists(p.desktop), "the Desktop folder was made")
    s.check(time.time() - started < 50, "the run took too long")

    after = whole_registry(p)
    check_outside_unchanged(s, before, after, noise)
    s.check_equal(p.reg_query(r"HKLM\Software\Classes\.exe"), "exefile", ".exe repaired")
