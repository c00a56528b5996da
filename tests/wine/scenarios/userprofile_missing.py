"""Morvane.exe started without "userprofile" in its environment: one line on
the console, the error dialog (or, with no display, its failure), exit code 1,
and the Morvane.txt an earlier run left is not touched."""

import os

from morvane_wine import ERROR, OK, log_bytes

# Standard output is not yet in UTF-16 mode at this point: the line goes out
# as plain text, its LF as CR LF.
CONSOLE = b"userprofile doesn't exist! Morvane Terminated!\r\n"

CASES = [
    # label, dialogs answered, dialogs expected
    ("error dialog answered", {ERROR: OK}, [ERROR]),
    ("no display", None, []),
]


def run(s):
    for label, dialogs, seen in CASES:
        with s.case(label), s.prefix() as p:
            earlier = log_bytes("An earlier run.\r\n")
            p.write_log(earlier)
            stamp = os.stat(p.log_path).st_mtime_ns
            r = p.run_morvane(dialogs=dialogs, launcher=[s.tool("launcher"), "--unset", "userprofile"])
            # 100 + Morvane's exit code 1.
            s.check_run(r, 101, dialogs=seen if dialogs is not None else None, what="launcher and Morvane")
            s.check_equal(r.stdout, CONSOLE, "console bytes")
            s.check_equal(p.read_log(), earlier, "log file left by the earlier run")
            s.check_equal(os.stat(p.log_path).st_mtime_ns, stamp, "log file's modification time")
