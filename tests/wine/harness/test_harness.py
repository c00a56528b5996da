"""Unit tests of the harness's own logic that needs no Wine: the byte
conversions, the .reg parser, the failure messages and the run shapes.

    python3 -m unittest discover -s tests/wine/harness -p 'test_*.py'
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morvane_expect as expect  # noqa: E402
import morvane_wine as mw  # noqa: E402


class FakeSession:
    """Records failures the way Session does, without Wine."""

    def __init__(self):
        self.failures = []

    def fail(self, message, hard=False):
        self.failures.append(message)

    def check(self, condition, message, hard=False):
        if not condition:
            self.fail(message)
        return bool(condition)

    check_equal = mw.Session.check_equal
    check_startswith = mw.Session.check_startswith
    check_match = mw.Session.check_match


BANNER = ("Morvane, by the Morvane developers\r\nhttps://morvane.example.org/\r\n"
          "Copyright 2012-2026 the Morvane developers\r\nMore at:\r\n https://morvane.example.org/d/\r\n\r\n"
          "Program started at: 07/04/2026 03:05:09 PM in x64 mode.\r\n")
CLOSING = ("\r\nProgram finished at: 07/04/2026 03:05:10 PM\r\n"
           "Execution time: 0 hours(s), 0 minute(s), and 1 seconds(s)\r\n\n")
REPAIRS = ("  * HKLM\\Software\\Classes\\.exe did not exist and was recreated!\r\n\r\n"
           "  * HKCU\\SOFTWARE\\Classes\\.bat was deleted!\r\n")
NORMAL = (BANNER + "Windows Version: Windows 7\r\n\r\n" + expect.CHECKING + expect.NONE_KILLED
          + expect.RESETTING + REPAIRS + CLOSING)


class TextsAndBytes(unittest.TestCase):
    def test_console_bytes_and_back(self):
        cases = [
            ("a\r\n", b"a\x00\r\x00\r\x00\n\x00"),   # CR LF goes out as CR CR LF
            ("a\n", b"a\x00\r\x00\n\x00"),           # a lone LF as CR LF
            ("", b""),
            ("\U0001F600", b"\x3d\xd8\x00\xde"),     # beyond the basic plane: a surrogate pair
            ("\u00e9\u4e2d", b"\xe9\x00\x2d\x4e"),
        ]
        for text, data in cases:
            with self.subTest(text=text):
                self.assertEqual(mw.console_bytes(text), data)
                self.assertEqual(mw.console_text(data), text)

    def test_log_text(self):
        cases = [
            (b"\xff\xfea\x00\n\x00", "a\n"),
            (b"\xff\xfe", ""),
            (b"a\x00", None),   # no byte-order mark
            (None, None),
        ]
        for data, text in cases:
            with self.subTest(data=data):
                self.assertEqual(mw.log_text(data), text)
        self.assertEqual(mw.log_bytes("a"), b"\xff\xfea\x00")

    def test_odd_bytes_decode_without_failing(self):
        self.assertEqual(mw.decode_utf16(b"a\x00b"), "a\ufffd")

    def test_difference_names_the_first_differing_byte(self):
        message = mw.describe_difference(b"\xff\xfea\x00c\x00", b"\xff\xfea\x00b\x00")
        self.assertIn("first difference at byte 4", message)
        self.assertIn("'\\ufeffab'", message)
        self.assertIn("'\\ufeffac'", message)
        self.assertIn("expected 6, actual 6", message)
        self.assertIn("expected 2, actual 0", mw.describe_difference(b"", b"ab"))


class RegParser(unittest.TestCase):
    EXPORT = (
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Classes\\exefile]\r\n"
        "@=\"Application\"\r\n"
        "\"EditFlags\"=hex:38,07,00,\\\r\n  00\r\n"
        "\"Count\"=dword:0000000c\r\n"
        "\"Quoted \\\"Name\\\"\"=\"C:\\\\x \\\"%1\\\"\"\r\n"
        "\"Empty\"=\"\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Classes\\exefile\\shell\\open\\command]\r\n"
        "@=\"\\\"%1\\\" %*\"\r\n"
    )

    def test_values_by_key(self):
        sections = mw.parse_reg(self.EXPORT)
        self.assertEqual(list(sections), ["HKEY_LOCAL_MACHINE\\Software\\Classes\\exefile",
                                          "HKEY_LOCAL_MACHINE\\Software\\Classes\\exefile\\shell\\open\\command"])
        exefile = sections["HKEY_LOCAL_MACHINE\\Software\\Classes\\exefile"]
        cases = [
            ("@", "Application"),
            ("editflags", "hex:38,07,00,00"),   # continuation joined
            ("count", "dword:0000000c"),
            ('quoted "name"', 'C:\\x "%1"'),
            ("empty", ""),
        ]
        for name, data in cases:
            with self.subTest(name=name):
                self.assertEqual(exefile[name], data)
        command = sections["HKEY_LOCAL_MACHINE\\Software\\Classes\\exefile\\shell\\open\\command"]
        self.assertEqual(command, {"@": '"%1" %*'})

    def test_nothing_outside_a_section(self):
        self.assertEqual(mw.parse_reg("Windows Registry Editor Version 5.00\r\n\"a\"=\"b\"\r\n"), {})


class RunShapes(unittest.TestCase):
    def shape(self, text, pieces):
        s = FakeSession()
        groups = expect.check_shape(s, text, pieces)
        return groups, s.failures

    def test_normal_run(self):
        groups, failures = self.shape(NORMAL, expect.normal_run("Windows 7"))
        self.assertEqual(failures, [])
        self.assertEqual(groups["reports"], REPAIRS)
        self.assertEqual(groups["seconds"], "1")

    def test_run_without_repairs(self):
        text = NORMAL.replace(REPAIRS, "")
        groups, failures = self.shape(text, expect.normal_run("Windows 7"))
        self.assertEqual(failures, [])
        self.assertEqual(groups["reports"], "")

    def test_faults_are_found(self):
        cases = [
            ("no lone LF at the end", NORMAL[:-1], "piece 7"),
            ("CR LF at the end", NORMAL[:-1] + "\r\n", "piece 7"),
            ("another version", NORMAL.replace("Windows 7", "Windows 8"), "piece 2"),
            ("banner twice", BANNER + NORMAL, "piece 2"),
            ("text after the end", NORMAL + "x", "after the expected end"),
            ("a report line without its !", NORMAL.replace("recreated!", "recreated"), "piece 7"),
            ("a time of 13 o'clock", NORMAL.replace("03:05:09 PM", "13:05:09 PM"), "piece 1"),
            ("other processor", NORMAL.replace("x64 mode", "x86 mode"), "processor"),
            ("year span ending elsewhere", NORMAL.replace("2012-2026", "2012-2025"), "year"),
            ("hours spelled right", NORMAL.replace("hours(s)", "hour(s)"), "piece 7"),
        ]
        for label, text, where in cases:
            with self.subTest(label):
                _, failures = self.shape(text, expect.normal_run("Windows 7"))
                self.assertEqual(len(failures), 1, failures)
                self.assertIn(where, failures[0])

    def test_failure_shows_the_expected_text_plainly(self):
        _, failures = self.shape(NORMAL, expect.normal_run("Windows 8"))
        self.assertIn("'Windows Version: Windows 8\\r\\n\\r\\n'", failures[0])

    def test_cancelled_and_unsupported_runs(self):
        cancelled = (BANNER + "Windows Version: Windows XP\r\n\r\n" + expect.CHECKING + expect.NONE_KILLED
                     + "Program cancelled by the user!\r\n")
        self.assertEqual(self.shape(cancelled, expect.cancelled_run("Windows XP"))[1], [])
        self.assertTrue(self.shape(cancelled + expect.RESETTING, expect.cancelled_run("Windows XP"))[1])
        unsupported = (BANNER + "\r\nYour operating system, Windows 2000, is not supported.\r\n"
                       + expect.UNSUPPORTED_NOTE)
        self.assertEqual(self.shape(unsupported, expect.unsupported_run("Windows 2000", expect.UNSUPPORTED_NOTE))[1],
                         [])
        self.assertTrue(self.shape(unsupported, expect.unsupported_run("Windows 2000", ""))[1])

    def test_log_and_console_must_agree(self):
        class Run:
            stdout = mw.console_bytes(NORMAL)

        s = FakeSession()
        expect.check_log_and_console(s, Run, mw.log_bytes(NORMAL), expect.normal_run("Windows 7"))
        self.assertEqual(s.failures, [])
        Run.stdout = mw.utf16(NORMAL)   # the console not in text mode: no CR added
        expect.check_log_and_console(s, Run, mw.log_bytes(NORMAL), expect.normal_run("Windows 7"))
        self.assertEqual(len(s.failures), 1)
        self.assertIn("console bytes", s.failures[0])


if __name__ == "__main__":
    unittest.main()
