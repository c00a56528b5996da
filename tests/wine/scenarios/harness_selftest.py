"""The harness itself: dialogs are answered as asked, a dialog with no display
fails at once, the version setting reaches a program, the registry helpers
round-trip, and the launcher removes one variable from a child's
environment. Independent of Morvane.exe, so a harness fault shows here."""

import time

from morvane_wine import CANCEL, LEAVE, OK

MB_OKCANCEL = 1


def run(s):
    with s.prefix() as p:
        with s.case("dialog after a program with no display"):
            # The first program in a prefix makes its desktop; one made
            # without a display would fail every later dialog.
            s.check_equal(p.reg_query(r"HKCU\Software\Wine", "Version"), None, "no version set")
            r = p.run([s.tool("show_dialog"), "Harness Check", str(MB_OKCANCEL)],
                      dialogs={"Harness Check": OK}, timeout=30)
            s.check_run(r, 1, dialogs=["Harness Check"])

        answers = [(OK, 1), (CANCEL, 2)]
        for answer, expected in answers:
            with s.case("dialog answered %s" % answer):
                r = p.run([s.tool("show_dialog"), "Harness Check", str(MB_OKCANCEL)],
                          dialogs={"Harness Check": answer}, timeout=30)
                s.check_run(r, expected, dialogs=["Harness Check"])
                s.check_equal(r.stdout, b"%d\r\n" % expected, "printed answer")

        with s.case("no key left held"):
            # A dialog after an answered one must wait for its own answer.
            r = p.run([s.tool("show_dialog"), "Harness Check", str(MB_OKCANCEL)],
                      dialogs={"Harness Check": LEAVE}, timeout=4)
            s.check(r.timed_out, "a dialog nobody answered closed by itself: %r" % r)

        with s.case("no display"):
            r = p.tool("show_dialog", "Harness Check", str(MB_OKCANCEL), timeout=30)
            s.check(not r.timed_out, "the dialog with no display hung")
            s.check(r.exit_code not in (1, 2), "a dialog with no display returned %r" % r.exit_code)

        with s.case("version setting"):
            p.set_windows_version("vista")
            r = p.tool("host_report")
            s.check_run(r, 0)
            report = dict(line.split("=", 1) for line in r.stdout.decode().split())
            s.check_equal((report.get("major"), report.get("minor"), report.get("product")),
                          ("6", "0", "1"), "vista version and product type")
            s.check_equal(report.get("arch"), "9", "native architecture")

        with s.case("registry helpers"):
            key = r"HKCU\Software\MorvaneHarness"
            s.check_equal(p.reg_export(key), None, "export of a missing key")
            p.reg_import("Windows Registry Editor Version 5.00\n\n[%s]\n@=\"d\u00e9faut\"\n\"Name\"=\"value\"\n" % key)
            s.check_equal(p.reg_query(key), "d\u00e9faut", "default value")
            s.check_equal(p.reg_query(key, "Name"), "value", "named value")
            s.check_equal(p.reg_query(key, "Missing"), None, "missing value")
            p.reg_add(key + r"\Sub", "Other", "x")
            s.check("[HKEY_CURRENT_USER\\Software\\MorvaneHarness\\Sub]" in (p.reg_export(key) or ""), "export holds the subkey")
            p.reg_delete(key)
            s.check_equal(p.reg_query(key, "Name"), None, "value after delete")

        with s.case("background program"):
            waiting = p.start([s.tool("show_dialog"), "Harness Background", "0"], display=True)
            time.sleep(1)
            s.check(waiting.running(), "a program waiting in a dialog ended")
            waiting.stop()
            s.check(not waiting.running(), "a stopped program still runs")

        with s.case("launcher"):
            shown = p.run([s.tool("launcher"), "--unset", "USERprofile", "cmd", "/c", "echo [%userprofile%]"])
            s.check_run(shown, 100)
            s.check_equal(shown.stdout.strip(), b"[%userprofile%]", "variable removed by any case")
            kept = p.run([s.tool("launcher"), "--unset", "nothing_by_this_name", "cmd", "/c", "echo [%userprofile%]"])
            s.check_equal(kept.stdout.strip(), ("[%s]" % p.profile).encode(), "other variables kept")
