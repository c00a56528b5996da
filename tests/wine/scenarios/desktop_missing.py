"""No Desktop folder, so no log file can be made: the run goes on to its end
as usual, and the console carries the whole run exactly once, in order."""

import os
import re

from morvane_expect import check_shape, normal_run
from morvane_wine import FINISHED, LICENSE, OK, console_bytes, console_text


def run(s):
    with s.prefix() as p:
        p.remove_desktop()
        r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK})
        s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
        text = console_text(r.stdout)
        check_shape(s, text, normal_run("Windows 7"), what="console")
        s.check_equal(r.stdout, console_bytes(text), "console bytes round trip")
        s.check_equal(len(re.findall("Program started at: ", text)), 1, "banners on the console")
        s.check(not os.path.exists(p.desktop), "the Desktop folder was made")
        s.check_equal(p.read_log(), None, "log file")
