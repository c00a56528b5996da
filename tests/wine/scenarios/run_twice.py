"""Two runs in a row: the log file holds the second run only, from its FF FE
on, even when the first run's file was longer; and the second run, over the
associations the first one repaired, reports no repair."""

from morvane_expect import check_log_and_console, normal_run
from morvane_wine import log_bytes


def run(s):
    with s.prefix() as p:
        first = p.run_morvane()
        s.check_run(first, 0, what="first run")
        first_log = p.read_log()
        s.check(first_log is not None and first_log.startswith(b"\xff\xfe"), "the first run left no log file")
        # Whatever an earlier run left must go, however long it was.
        p.write_log((first_log or b"") + log_bytes("left over from an earlier run\r\n" * 200)[2:])

        second = p.run_morvane()
        s.check_run(second, 0, what="second run")
        log = p.read_log()
        text, match = check_log_and_console(s, second, log, normal_run("Windows 7"))
        s.check_equal(text.count("Program started at: ") if text else None, 1, "banners in the log")
        if match:
            s.check_equal(match.get("reports"), "", "repairs reported by the second run")
