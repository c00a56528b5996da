"""Per-user keys that are registry symbolic links to a machine-wide key tree.
A user can make HKCU\\Software\\Classes\\.exe, the class key it names, a key on
the way to that class key, or a subkey of the override a link to any key of
the machine; Morvane runs as administrator, so following such a link while
deleting would delete the machine's key for the user. In every case the link
goes (or, on the way to the class key, stays untouched), the machine-wide
tree survives byte for byte, and the report lines name only what went."""

from morvane_wine import FINISHED, LICENSE, OK, log_text

TIMEOUT = 300

VICTIM = r"HKLM\Software\MorvaneVictim"
VICTIM_NATIVE = r"\Registry\Machine\Software\MorvaneVictim"
CLASSES = r"Software\Classes"

EXE_VALUE = "  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to %s!\r\n"
EXE_DELETED = "  * HKCU\\SOFTWARE\\Classes\\.exe has been deleted!\r\n"
CLASS_DELETED = "  * HKCU\\SOFTWARE\\Classes\\%s has been deleted!\r\n\r\n"

# (label, .exe default value or None, {per-user key below Classes: link
# target}, report lines in order, lines that must not appear, {per-user key:
# what registry_link shows for it afterwards})
CASES = [
    ("extension key is a link", None, {".exe": VICTIM_NATIVE},
     EXE_VALUE % "victim" + EXE_DELETED,
     [CLASS_DELETED % "victim"],
     {".exe": "missing"}),
    ("class key is a link", "evilclass", {"evilclass": VICTIM_NATIVE},
     EXE_VALUE % "evilclass" + EXE_DELETED + CLASS_DELETED % "evilclass",
     [],
     {".exe": "missing", "evilclass": "missing"}),
    ("a link on the way to the class key", "hop\\shell", {"hop": VICTIM_NATIVE},
     EXE_VALUE % "hop\\shell" + EXE_DELETED,
     [CLASS_DELETED % "hop\\shell"],
     {".exe": "missing", "hop": "link " + VICTIM_NATIVE}),
    ("a subkey of the override is a link", "", {".exe\\shell": VICTIM_NATIVE + "\\shell"},
     EXE_VALUE % "" + EXE_DELETED,
     [],
     {".exe": "missing"}),
]


def _victim(p):
    p.reg_import(
        "Windows Registry Editor Version 5.00\n\n"
        "[%s]\n@=\"victim\"\n\n"
        "[%s\\shell]\n@=\"keep\"\n\n"
        "[%s\\shell\\open\\command]\n@=\"keep too\"\n" % ((VICTIM.replace("HKLM", "HKEY_LOCAL_MACHINE"),) * 3))


def run(s):
    for label, exe_value, links, expected, absent, shown in CASES:
        with s.case(label), s.prefix(label) as p:
            _victim(p)
            if exe_value is not None:
                p.reg_add("HKCU\\" + CLASSES + "\\.exe", None, exe_value)
            for key, target in links.items():
                made = p.tool("registry_link", "create", "HKCU", CLASSES + "\\" + key, target)
                s.check_run(made, 0, what="registry_link create " + key)
            before = p.reg_snapshot([VICTIM])
            s.check(before[VICTIM] is not None and "keep too" in before[VICTIM],
                    "victim tree not made: %r" % before, hard=True)

            r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK})
            s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
            log = log_text(p.read_log() or b"")
            s.check(log is not None and expected in log,
                    "report lines %r not in the log %r" % (expected, log))
            for line in absent:
                s.check(log is None or line not in log, "unexpected line %r in %r" % (line, log))

            s.check_equal(p.reg_snapshot([VICTIM]), before, "machine-wide tree")
            for key, state in shown.items():
                r = p.tool("registry_link", "show", "HKCU", CLASSES + "\\" + key)
                s.check_equal(r.stdout.decode("utf-8", "replace").strip(), state, "state of " + key)
