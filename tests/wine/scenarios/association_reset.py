"""The association reset of every family on Wine's real registry. For each
Windows version setting, the six machine-wide keys are put into one damaged
state (association_reset.reg: .exe naming another class with a shell verb and
an icon of its own, exefile's open command hijacked and its runas command
missing, .bat without a default value, batfile gone, comfile's open verb with
flags of the wrong type and no command, per-user overrides of all three
extensions). Morvane.exe runs and is confirmed; then the registry, read value
by value with its exact type and bytes, must hold exactly the family's values
in those six keys, the deleted keys and overrides must be gone, and the log
must hold exactly the expected report lines between the reset heading and the
closing lines. A second run must report nothing and change nothing."""

import os
import re

from morvane_wine import FINISHED, LICENSE, OK, log_text

TIMEOUT = 900

HERE = os.path.dirname(os.path.abspath(__file__))
HEADING = "Resetting .EXE, .COM, & .BAT associations in the Windows Registry.\r\n\r\n"
CLOSING = re.compile(r"\r\nProgram finished at: \d\d/\d\d/\d{4} \d\d:\d\d:\d\d [AP]M\r\n"
                     r"Execution time: \d+ hours\(s\), \d+ minute\(s\), and \d+ seconds\(s\)\r\n\n\Z")

# Wine's version setting, the version it must report, and the family.
VERSIONS = [
    ("winxp", (5, 1), "xp1"),
    ("winxp64", (5, 2), "xp2"),
    ("win2003", (5, 2), "xp2"),
    ("vista", (6, 0), "vista"),
    ("win7", (6, 1), "win7"),
    ("win8", (6, 2), "win8"),
]

SIX_KEYS = [r"Software\Classes\.exe", r"Software\Classes\exefile", r"Software\Classes\.bat",
            r"Software\Classes\batfile", r"Software\Classes\.com", r"Software\Classes\comfile"]
OVERRIDES = [r"Software\Classes\.exe", r"Software\Classes\exefile", r"Software\Classes\.bat",
             r"Software\Classes\.com", r"Software\Classes\evilcom"]

SZ, EXPAND, BINARY, DWORD = 1, 2, 3, 4
TEMPLATE = '"%1" %*'
FILE_HANDLER = "{098f2470-bae0-11cd-b579-08002b30bfeb}"
DROP = "{86C86720-42A0-1069-A2E8-08002B30309D}"
SHIM = "{513D916F-2A8E-4F51-AEAB-0CBC76FB1AF8}"
RUNASUSER = [
    ("shell\\runas", "HasLUAShield", SZ, ""),
    ("shell\\runasuser\\command", "DelegateExecute", SZ, "{ea72d00e-4960-42fa-ba92-7792a7944c1d}"),
    ("shell\\runasuser", "", SZ, "@shell32.dll,-50944"),
    ("shell\\runasuser", "Extended", SZ, ""),
    ("shell\\runasuser", "SuppressionPolicyEx", SZ, "{F211AA05-D4DF-4370-A2A0-9F19C09756A7}"),
    ("shellex\\ContextMenuHandlers", "", SZ, "Compatibility"),
    ("shellex\\ContextMenuHandlers\\Compatibility", "", SZ, "{1d27f844-3a1f-4410-85ac-14651078412d}"),
]


def expected_values(family):
    """{(key, value name) in lower case: (type, bytes)} of the six keys after
    a reset of this family; keys relative to HKLM."""
    xp = family.startswith("xp")
    win7 = family in ("win7", "win8")
    rows = [
        (".exe", "", SZ, "exefile"),
        (".exe\\PersistentHandler", "", SZ, FILE_HANDLER),
        (".exe", "Content Type", SZ, "application/x-msdownload"),
        ("exefile\\shell\\open\\command", "", SZ, TEMPLATE),
        ("exefile\\shell\\runas\\command", "", SZ, TEMPLATE),
        ("exefile", "", SZ, "Application"),
        ("exefile", "EditFlags", BINARY, b"\x38\x07\x00\x00"),
        ("exefile\\shell\\open", "EditFlags", BINARY, b"\x00\x00\x00\x00"),
        ("exefile\\DefaultIcon", "", SZ, "%1"),
        ("exefile\\shellex\\DropHandler", "", SZ, DROP),
        ("exefile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", "", SZ, SHIM),
        (".bat", "", SZ, "batfile"),
        (".bat\\PersistentHandler", "", SZ, "{5e941d80-bf96-11cd-b579-08002b30bfeb}"),
        ("batfile\\shell\\edit\\command", "", EXPAND, "%SystemRoot%\\System32\\NOTEPAD.EXE %1"),
        ("batfile\\shell\\open\\command", "", SZ, TEMPLATE),
        ("batfile\\shell\\print\\command", "", EXPAND, "%SystemRoot%\\System32\\NOTEPAD.EXE /p %1"),
        ("batfile", "EditFlags", BINARY, b"\x30\x04\x00\x00"),
        ("batfile\\shell\\open", "EditFlags", BINARY, b"\x00\x00\x00\x00"),
        ("batfile\\shellex\\DropHandler", "", SZ, DROP),
        ("batfile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", "", SZ, SHIM),
        (".com", "", SZ, "comfile"),
        (".com\\PersistentHandler", "", SZ, FILE_HANDLER),
        ("comfile\\shell\\open\\command", "", SZ, TEMPLATE),
        ("comfile", "EditFlags", BINARY, b"\x30\x00\x00\x00"),
        ("comfile\\DefaultIcon", "", EXPAND, "%SystemRoot%\\System32\\shell32.dll,2"),
        ("comfile\\shellex\\DropHandler", "", SZ, DROP),
    ]
    if xp:
        rows += [
            ("exefile", "TileInfo", SZ, "prop:FileDescription;Company;FileVersion"),
            ("exefile", "InfoTip", SZ, "prop:FileDescription;Company;FileVersion;Create;Size"),
            ("batfile", "", SZ, "Windows Batch File" if family == "xp2" else "MS-DOS Batch File"),
            ("batfile\\DefaultIcon", "", EXPAND, "%SystemRoot%\\System32\\shell32.dll,-153"),
            ("comfile", "", SZ, "Application" if family == "xp2" else "MS-DOS Application"),
            ("comfile\\shell\\open", "EditFlags", BINARY, b"\x00\x00\x00\x00"),
        ]
        if family == "xp1":
            rows.append(("exefile\\shellex\\PropertySheetHandlers\\{B41DB860-8EE4-11D2-9906-E49FADC173CA}", "",
                         SZ, ""))
    else:
        rows += [
            ("exefile\\shell\\open\\command", "IsolatedCommand", SZ, TEMPLATE),
            ("exefile\\shell\\runas\\command", "IsolatedCommand", SZ, TEMPLATE),
            ("exefile", "FriendlyTypeName", EXPAND, "@%SystemRoot%\\System32\\shell32.dll,-10156"),
            ("batfile\\shell\\runas\\command", "", EXPAND, '%SystemRoot%\\System32\\cmd.exe /C "%1" %*'),
            ("batfile", "", SZ, "Windows Batch File"),
            ("batfile", "FriendlyTypeName", EXPAND, "@%SystemRoot%\\System32\\acppage.dll,-6002"),
            ("batfile\\DefaultIcon", "", EXPAND, "%SystemRoot%\\System32\\imageres.dll,-68"),
            ("comfile", "", SZ, "MS-DOS Application"),
            ("comfile", "FriendlyTypeName", EXPAND, "@%SystemRoot%\\System32\\shell32.dll,-8464"),
            ("comfile\\shell\\open", "EditFlags", DWORD, b"\x00\x00\x00\x00"),
        ]
    if family == "vista":
        rows.append(("batfile\\shell\\print", "", SZ, ""))
    if win7:
        rows += [("exefile\\" + key, name, kind, data) for key, name, kind, data in RUNASUSER]
        rows += [("batfile\\" + key, name, kind, data) for key, name, kind, data in RUNASUSER]
        rows.append(("batfile\\shellex\\{8895b1c6-b41f-4c1c-a562-0d564250836f}", "", SZ,
                     "{1531d583-8375-4d3f-b5fb-d23bbd169f22}"))
    if family == "win8":
        pin = "exefile\\shell\\pintostartscreen"
        rows += [
            (pin + "\\command", "DelegateExecute", SZ, "{470C0EBD-5D73-4d58-9CED-E91E22E23282}"),
            (pin, "MUIVerb", SZ, "@shell32.dll,-51201"),
            (pin, "NeverDefault", SZ, ""),
            (pin, "Description", SZ, "@shell32.dll,-51202"),
            (pin, "MultiSelectModel", SZ, "Single"),
        ]
    values = {}
    for key, name, kind, data in rows:
        raw = data if isinstance(data, bytes) else (data + "\0").encode("utf-16-le")
        values[(("Software\\Classes\\" + key).lower(), name.lower())] = (kind, raw)
    return values


def expected_report(family):
    """The report lines of the first run over association_reset.reg."""
    def exe_command(verb, value):
        return (r"  * HKLM\Software\Classes\exefile\shell\%s\command\%s was changed. It was reset to "
                r'"%%1" %%*!' % (verb, value) + "\r\n\r\n")

    def override(extension, class_name):
        lines = [r"  * HKCU\SOFTWARE\Classes\%s\\@ exists and is set to %s!" % (extension, class_name) + "\r\n",
                 r"  * HKCU\SOFTWARE\Classes\%s has been deleted!" % extension + "\r\n"]
        if class_name:
            lines.append(r"  * HKCU\SOFTWARE\Classes\%s has been deleted!" % class_name + "\r\n\r\n")
        return lines

    lines = [r"  * HKLM\Software\Classes\.exe\\@ has been changed to evilfile!" + "\r\n",
             r"  * HKLM\Software\Classes\.exe\\@ was reset to exefile!" + "\r\n\r\n",
             r"  * HKLM\Software\Classes\.exe\shell found and deleted!" + "\r\n\r\n",
             r"  * HKLM\Software\Classes\.exe\DefaultIcon found and deleted!" + "\r\n\r\n"]
    if family.startswith("xp"):
        lines += [exe_command("open", r"\@"), exe_command("runas", r"\@")]
    else:
        lines += [exe_command("open", r"\@"), exe_command("open", r"\IsolatedCommand"),
                  exe_command("runas", r"\@"), exe_command("runas", r"\IsolatedCommand")]
    lines += override(".exe", "exefile")
    lines += [r"  * HKLM\Software\Classes\.bat\\@ was changed to !" + "\r\n",
              r"  * HKLM\Software\Classes\.bat\\@ was reset to batfile!" + "\r\n\r\n",
              r"  * HKLM\Software\Classes\batfile did not exist and was recreated!" + "\r\n\r\n"]
    lines += override(".bat", "")
    lines += [r"  * HKLM\Software\Classes\comfile\shell\open\command\\@ was changed." + "\r\n" +
              r'    It was reset to "%1" %*!' + "\r\n\r\n"]
    lines += override(".com", "evilcom")
    return "".join(lines)


def dump(s, p, root, keys):
    """({key: set of value keys}, {(key, name): (type, bytes)}, missing keys),
    keys and names in lower case, as the registry_values tool reads them."""
    run = p.tool("registry_values", root, *keys)
    s.check_run(run, 0, what="registry_values")
    present, values, missing = set(), {}, set()
    for line in run.stdout.decode("utf-8").splitlines():
        fields = line.split("\t")
        if fields[0] == "K":
            present.add(fields[1].lower())
        elif fields[0] == "M":
            missing.add(fields[1].lower())
        elif fields[0] == "V":
            values[(fields[1].lower(), fields[2].lower())] = (int(fields[3]), bytes.fromhex(fields[4]))
    return present, values, missing


def reset_region(s, p, what):
    """The text the reset wrote: between its heading and the closing lines."""
    text = log_text(p.read_log()) or ""
    start = text.find(HEADING)
    closing = CLOSING.search(text)
    s.check(start >= 0 and closing is not None, "%s: log without reset heading or closing lines: %r"
            % (what, text), hard=True)
    return text[start + len(HEADING):closing.start()]


def run_reset(s, p, what):
    run = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK}, timeout=120)
    s.check_run(run, 0, dialogs=[LICENSE, FINISHED], what=what)
    return reset_region(s, p, what)


def check_family(s, version, numbers, family):
    with s.prefix(version) as p:
        p.set_windows_version(version)
        host = dict(line.split("=", 1) for line in p.tool("host_report").stdout.decode().split())
        s.check_equal((int(host["major"]), int(host["minor"])), numbers, "reported version", hard=True)

        with open(os.path.join(HERE, "association_reset.reg"), encoding="utf-8") as f:
            p.reg_import(f.read())

        s.check_equal(run_reset(s, p, "first run"), expected_report(family), "report of the first run")

        present, values, missing = dump(s, p, "HKLM", SIX_KEYS)
        s.check_equal(missing, set(), "machine keys missing")
        expected = expected_values(family)
        for key, wanted in sorted(expected.items()):
            s.check_equal(values.get(key), wanted, "HKLM\\%s [%s]" % key)
        s.check_equal(sorted(set(values) - set(expected)), [], "values beyond the family's")
        leads = {k for k, _ in expected} | {k.rsplit("\\", i)[0] for k, _ in expected for i in range(1, 6)}
        s.check_equal(sorted(present - leads), [], "keys beyond the family's")
        for gone in (r"software\classes\.exe\shell", r"software\classes\.exe\defaulticon"):
            s.check(gone not in present, "HKLM\\%s is still there" % gone)

        _, _, missing_user = dump(s, p, "HKCU", OVERRIDES)
        s.check_equal(sorted(missing_user), sorted(k.lower() for k in OVERRIDES), "per-user overrides left")

        s.check_equal(run_reset(s, p, "second run"), "", "report of the second run")
        _, again, _ = dump(s, p, "HKLM", SIX_KEYS)
        s.check_equal(again, values, "values after the second run")


def run(s):
    for version, numbers, family in VERSIONS:
        with s.case(version):
            check_family(s, version, numbers, family)
