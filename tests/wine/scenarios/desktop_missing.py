"""No log file can be made: the Desktop folder is missing, or a folder stands
where Morvane.txt would go. The run goes on to its end as usual (exit code 0,
both dialogs), and the console carries the whole run exactly once, in order."""

import os

from morvane_expect import check_shape, normal_run
from morvane_wine import FINISHED, LICENSE, OK, console_bytes, console_text


def remove_desktop(p):
    p.remove_desktop()


def folder_in_the_way(p):
    os.mkdir(p.log_path)


CASES = [
    ("no Desktop folder", remove_desktop),
    ("Morvane.txt is a folder", folder_in_the_way),
]


def run(s):
    for label, spoil in CASES:
        with s.case(label), s.prefix() as p:
            spoil(p)
            r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK})
            s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
            text = console_text(r.stdout)
            check_shape(s, text, normal_run("Windows 7"), what="console")
            s.check_equal(r.stdout, console_bytes(text), "console bytes (each LF as CR LF)")
            s.check_equal(text.count("Program started at: "), 1, "banners on the console")
            if os.path.isdir(p.log_path):
                s.check_equal(os.listdir(p.log_path), [], "the folder in the log file's place")
            else:
                s.check(not os.path.exists(p.desktop), "the Desktop folder was made")
