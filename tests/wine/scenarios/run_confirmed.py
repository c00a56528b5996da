"""A whole run with both dialogs answered OK: the confirmation dialog, then
the finished dialog after the log file is closed; exit code 0; the log file
and the console carry the same run, which ends with the closing lines and a
lone LF; the associations are then in place."""

from morvane_expect import check_log_and_console, normal_run
from morvane_wine import FINISHED, LICENSE, OK


def run(s):
    with s.prefix() as p:
        r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK})
        s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
        text, _ = check_log_and_console(s, r, p.read_log(), normal_run("Windows 7"))
        s.check_endswith(text, " seconds(s)\r\n\n", "log text")

        # The repair itself, as a plain program sees it afterwards.
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\.exe"), "exefile", ".exe class")
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\exefile\shell\open\command"), '"%1" %*',
                      "exefile open command")
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\.bat"), "batfile", ".bat class")
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\.com"), "comfile", ".com class")
