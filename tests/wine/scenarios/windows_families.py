"""Each Windows family through Wine's version setting: the version line names
what the setting makes Wine report, and the run goes through that family's
repair to its end; Windows 2000 stops with the unsupported-system message and
its note, exit code 1, no dialog and no registry change. Each version in a
fresh prefix."""

from morvane_expect import (ASSOCIATION_KEYS, UNSUPPORTED_NOTE, check_log_and_console,
                            check_registry_unchanged, normal_run, unsupported_run)

WORKSTATION = 1

# Wine's setting, the version it must report, and the name Morvane gives it:
# one name, or {product type: name} where Wine has been seen to report either
# product type for the setting.
FAMILIES = [
    ("winxp", (5, 1), "Windows XP"),
    ("winxp64", (5, 2), "Windows XP Professional x64"),
    ("win2003", (5, 2), "Windows Server 2003"),
    ("vista", (6, 0), "Windows Vista"),
    ("win2008", (6, 0), "Windows Server 2008"),
    ("win7", (6, 1), {WORKSTATION: "Windows 7", 2: "Windows Server 2008 R2", 3: "Windows Server 2008 R2"}),
    ("win2008r2", (6, 1), {WORKSTATION: "Windows 7", 2: "Windows Server 2008 R2", 3: "Windows Server 2008 R2"}),
    ("win8", (6, 2), "Windows 8"),
]


def host_report(s, p):
    r = p.tool("host_report")
    s.check_run(r, 0, what="host_report")
    return {k: int(v) for k, v in (line.split("=", 1) for line in r.stdout.decode().split())}


def run(s):
    for setting, version, names in FAMILIES:
        with s.case(setting), s.prefix() as p:
            p.set_windows_version(setting)
            host = host_report(s, p)
            s.check_equal((host["major"], host["minor"]), version, "version Wine reports")
            name = names if isinstance(names, str) else names.get(host["product"])
            s.check(name is not None, "unexpected product type %r" % host["product"])
            r = p.run_morvane()
            s.check_run(r, 0)
            check_log_and_console(s, r, p.read_log(), normal_run(name))

    with s.case("win2k"), s.prefix() as p:
        p.set_windows_version("win2k")
        host = host_report(s, p)
        s.check_equal((host["major"], host["minor"]), (5, 0), "version Wine reports")
        before = p.reg_snapshot(ASSOCIATION_KEYS)
        # On the display, so that any dialog would be seen.
        r = p.run_morvane(dialogs={})
        s.check_run(r, 1, dialogs=[])
        check_log_and_console(s, r, p.read_log(), unsupported_run("Windows 2000", UNSUPPORTED_NOTE))
        check_registry_unchanged(s, before, p.reg_snapshot(ASSOCIATION_KEYS))
