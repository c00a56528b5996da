"""Cancel in the confirmation dialog: exit code 1, no further dialog, the log
ends with the cancel line, and no association was touched."""

from morvane_expect import ASSOCIATION_KEYS, cancelled_run, check_log_and_console, check_registry_unchanged
from morvane_wine import CANCEL, LICENSE


def run(s):
    with s.prefix() as p:
        # A user override that a confirmed run would remove.
        p.reg_add(r"HKCU\Software\Classes\.exe", None, "badfile")
        before = p.reg_snapshot(ASSOCIATION_KEYS)
        r = p.run_morvane(dialogs={LICENSE: CANCEL})
        s.check_run(r, 1, dialogs=[LICENSE])
        text, _ = check_log_and_console(s, r, p.read_log(), cancelled_run("Windows 7"))
        s.check_endswith(text, "Program cancelled by the user!\r\n", "log text")
        check_registry_unchanged(s, before, p.reg_snapshot(ASSOCIATION_KEYS))
