"""Keys and values larger than the registry layer's buffers. A tree below
HKLM's .exe\\shell whose key paths run past 520 characters is deleted whole
and reported once, while .exe's other subkeys stay; the same tree below the
per-user .exe key goes with it. A 20000-byte command value of exefile, and a
20000-byte class name in the per-user .exe key, cannot be read through the
8192-byte buffer: the command is left byte for byte and not reported, the
override's value line names no class and no class key is touched."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "proof"))

from hostile import baseline, check_outside_unchanged, values_of, whole_registry  # noqa: E402
from morvane_expect import check_log_and_console, normal_run  # noqa: E402
from morvane_wine import FINISHED, LICENSE, OK  # noqa: E402

TIMEOUT = 600

CLASSES = r"Software\Classes"
LONG = "\\".join(["%s%s" % (letter, "x" * 199) for letter in "abc"])  # 602 characters
SHELL_DELETED = "  * HKLM\\Software\\Classes\\.exe\\shell found and deleted!\r\n\r\n"
COMMAND_CHANGED = "exefile\\shell\\open\\command\\\\@ was changed"
BIG_TEXT = "x" * 9999  # with its NUL, 20000 bytes


def run(s):
    with s.case("a path past 520 characters below .exe\\shell"), s.prefix("long") as p:
        deep = r"HKLM\Software\Classes\.exe\shell" + "\\" + LONG
        p.reg_add(deep + r"\command", None, "evil.exe")
        p.reg_add(r"HKLM\Software\Classes\.exe\shellfish", None, "keep")
        p.reg_add(r"HKCU\Software\Classes\.exe\shell" + "\\" + LONG, None, "evil")
        s.check(p.reg_query(deep + r"\command") == "evil.exe", "the long key was not made", hard=True)
        before, noise = baseline(p)

        r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK})
        s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
        text, _ = check_log_and_console(s, r, p.read_log(), normal_run("Windows 7"))
        s.check_equal((text or "").count(SHELL_DELETED), 1, ".exe\\shell reported deleted")
        s.check((text or "").count("  * HKCU\\SOFTWARE\\Classes\\.exe has been deleted!\r\n") == 1,
                "the per-user .exe key is not reported deleted")
        after = whole_registry(p)
        check_outside_unchanged(s, before, after, noise)
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\.exe\shell"), None, ".exe\\shell")
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\.exe\shellfish"), "keep", ".exe\\shellfish")
        s.check_equal(p.reg_query(r"HKCU\Software\Classes\.exe"), None, "the per-user .exe key")

    with s.case("a 20000-byte command and class name"), s.prefix("large") as p:
        p.reg_add(r"HKLM\Software\Classes\exefile\shell\open\command", None, BIG_TEXT)
        p.reg_add(r"HKCU\Software\Classes\.exe", None, BIG_TEXT)
        p.reg_add(r"HKCU\Software\Classes" + "\\" + "x" * 200, None, "keep")  # what a cut name would reach
        command = values_of(p, "HKLM", CLASSES + r"\exefile\shell\open\command")
        key = (CLASSES.lower() + r"\exefile\shell\open\command", "")
        s.check(command is not None and len(command.get(key, (0, b""))[1]) == 20000,
                "the large command was not made", hard=True)
        before, noise = baseline(p)

        r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK})
        s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
        text, _ = check_log_and_console(s, r, p.read_log(), normal_run("Windows 7"))
        text = text or ""
        s.check(COMMAND_CHANGED not in text, "the unreadable command was reported changed")
        s.check("  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to !\r\n"
                "  * HKCU\\SOFTWARE\\Classes\\.exe has been deleted!\r\n" in text,
                "the override's lines naming no class are not in the log")
        after = whole_registry(p)
        check_outside_unchanged(s, before, after, noise)
        s.check_equal(values_of(p, "HKLM", CLASSES + r"\exefile\shell\open\command").get(key),
                      command[key], "the large command, byte for byte")
