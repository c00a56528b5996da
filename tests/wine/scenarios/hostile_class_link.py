"""Per-user classes that are symbolic links to the machine's own class trees.
The user points HKCU\\Software\\Classes\\exefile at HKLM's exefile and names
it from the per-user .exe key, and makes the per-user .com key itself a link
to HKLM's .com. Morvane, running as administrator, must delete the links,
never what they lead to: afterwards the machine's exefile keeps every subkey
of its own beside the repaired values, HKLM's .com is there and repaired, the
links are gone, the log names what went, and nothing outside the repair set
changed."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "proof"))

from hostile import baseline, check_outside_unchanged, values_of, whole_registry  # noqa: E402
from morvane_expect import check_log_and_console, normal_run  # noqa: E402
from morvane_wine import FINISHED, LICENSE, OK  # noqa: E402

TIMEOUT = 400

CLASSES = r"Software\Classes"
LINES = [
    "  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to exefile!\r\n"
    "  * HKCU\\SOFTWARE\\Classes\\.exe has been deleted!\r\n"
    "  * HKCU\\SOFTWARE\\Classes\\exefile has been deleted!\r\n\r\n",
    "  * HKCU\\SOFTWARE\\Classes\\.com\\\\@ exists and is set to comfile!\r\n"
    "  * HKCU\\SOFTWARE\\Classes\\.com has been deleted!\r\n",
]


def run(s):
    with s.prefix() as p:
        # The machine's exefile holds a verb of its own, which must survive.
        p.reg_add(r"HKLM\Software\Classes\exefile\shell\proofverb\command", None, "proof.exe %1")
        p.reg_add(r"HKLM\Software\Classes\exefile\proofkeep", "v", "keep")
        p.reg_add(r"HKCU\Software\Classes\.exe", None, "exefile")
        for key, target in (("exefile", r"\Registry\Machine\Software\Classes\exefile"),
                            (".com", r"\Registry\Machine\Software\Classes\.com")):
            made = p.tool("registry_link", "create", "HKCU", CLASSES + "\\" + key, target)
            s.check_run(made, 0, what="registry_link create " + key)
        before, noise = baseline(p)

        r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK})
        s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
        text, _ = check_log_and_console(s, r, p.read_log(), normal_run("Windows 7"))
        for lines in LINES:
            s.check(text is not None and lines in text, "report lines %r not in the log" % lines)

        after = whole_registry(p)
        check_outside_unchanged(s, before, after, noise, user_classes=["exefile"])
        machine = values_of(p, "HKLM", CLASSES + r"\exefile")
        s.check(machine is not None, "the machine's exefile is gone", hard=True)
        s.check_equal(machine.get((CLASSES.lower() + r"\exefile\shell\proofverb\command", "")),
                      (1, "proof.exe %1\0".encode("utf-16-le")), "the machine's own verb")
        s.check_equal(machine.get((CLASSES.lower() + r"\exefile\proofkeep", "v")),
                      (1, "keep\0".encode("utf-16-le")), "the machine's own subkey")
        s.check_equal(machine.get((CLASSES.lower() + r"\exefile\shell\open\command", "")),
                      (1, '"%1" %*\0'.encode("utf-16-le")), "the repaired open command")
        com = values_of(p, "HKLM", CLASSES + r"\.com")
        s.check_equal(com and com.get((CLASSES.lower() + r"\.com", "")), (1, "comfile\0".encode("utf-16-le")),
                      "the machine's .com")
        for key in ("exefile", ".com", ".exe"):
            shown = p.tool("registry_link", "show", "HKCU", CLASSES + "\\" + key)
            s.check_equal(shown.stdout.decode("utf-8", "replace").strip(), "missing", "per-user " + key)
