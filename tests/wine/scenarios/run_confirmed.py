"""A whole run with both dialogs answered OK. While the confirmation dialog is
open, the log file already holds every line up to the sweep's count; while
the finished dialog is open, it holds the whole run, closing lines included.
Exit code 0; the log file and the console carry the same run, which ends with
the closing lines and a lone LF; the associations are then in place."""

from morvane_expect import CHECKING, NONE_KILLED, check_log_and_console, normal_run
from morvane_wine import FINISHED, LICENSE, OK, log_text


def run(s):
    with s.prefix() as p:
        seen = {}

        def look_then_ok(title):
            seen[title] = p.read_log()
            return OK

        r = p.run_morvane(dialogs={LICENSE: look_then_ok, FINISHED: look_then_ok})
        s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
        log = p.read_log()
        text, _ = check_log_and_console(s, r, log, normal_run("Windows 7"))
        s.check_endswith(text, " seconds(s)\r\n\n", "log text")

        s.check_endswith(log_text(seen.get(LICENSE)), "Windows 7\r\n\r\n" + CHECKING + NONE_KILLED,
                         "log file while the confirmation dialog is open")
        s.check_equal(seen.get(FINISHED), log, "log file while the finished dialog is open")

        # The repair itself, as a plain program sees it afterwards.
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\.exe"), "exefile", ".exe class")
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\exefile\shell\open\command"), '"%1" %*',
                      "exefile open command")
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\.bat"), "batfile", ".bat class")
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\.com"), "comfile", ".com class")
