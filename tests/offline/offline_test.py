"""End to end: morvane-offline repairs a Windows volume laid out in a scratch
folder, and regfexport (libregf, independent of libhivex) reads the result.

    offline_test.py MORVANE_OFFLINE MAKE_BLANK_HIVE EXPECTED_DIR
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "wine"))
from runner import read_reg  # noqa: E402

OFFLINE, MAKE_BLANK_HIVE, EXPECTED = sys.argv[1:4]
SZ, EXPAND_SZ, BINARY, DWORD, LINK = 1, 2, 3, 4, 6
TYPES = {"REG_SZ": SZ, "REG_EXPAND_SZ": EXPAND_SZ, "REG_BINARY": BINARY, "REG_DWORD_LITTLE_ENDIAN": DWORD}
ALICE, BOB = "S-1-5-21-7-7-7-1001", "S-1-5-21-7-7-7-1002"
CURRENT_VERSION = r"Microsoft\Windows NT\CurrentVersion"


def sz(text, kind=SZ):
    return kind, (text + "\0").encode("utf-16-le")


# name, CurrentVersion, ProductType, product name, expected file, XP layout
FAMILIES = [
    ("xp-x64", "5.2", "WinNT", "Microsoft Windows XP", "server2003", True),
    ("server2003", "5.2", "ServerNT", "Microsoft Windows Server 2003", "server2003", True),
    ("vista", "6.0", "WinNT", "Windows Vista (TM) Business", "vista", False),
    ("win7", "6.1", "WinNT", "Windows 7 Professional", "win7", False),
    ("win8", "6.2", "ServerNT", "Windows Server 8 Beta Datacenter", "win8", False),
]


def contents(path):
    return pathlib.Path(path).read_bytes()


def write_hive(path, keys):
    """A hive holding `keys` ({path: {value name: (type, bytes)}}), made with hivexsh."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run([MAKE_BLANK_HIVE, path], check=True)
    script, made = [], set()
    for key, values in keys.items():
        parts = key.split("\\")
        for depth in range(len(parts)):
            if "\\".join(parts[:depth + 1]).lower() not in made:
                made.add("\\".join(parts[:depth + 1]).lower())
                script += ["cd \\" + "\\".join(parts[:depth]), "add " + parts[depth]]
        if values:
            script += ["cd \\" + key, "setval %d" % len(values)]
            for name, (kind, data) in values.items():
                script += [name or "@", "hex:%d:%s" % (kind, ",".join("%02x" % b for b in data))]
    subprocess.run(["hivexsh", "-w", path], input="\n".join(script + ["commit"]) + "\n",
                   text=True, check=True)


def patch_header(path, sequence2):
    """Sets the second sequence number, keeping the header's checksum right."""
    data = bytearray(contents(path))
    data[8:12] = sequence2.to_bytes(4, "little")
    checksum = 0
    for at in range(0, 508, 4):
        checksum ^= int.from_bytes(data[at:at + 4], "little")
    data[508:512] = checksum.to_bytes(4, "little")
    pathlib.Path(path).write_bytes(data)


def make_link(path, name):
    """Sets KEY_SYM_LINK on the key record named `name` (hivexsh has no way to)."""
    data = bytearray(contents(path))
    at = data.index(b"nk", 4096)
    while at > 0:
        length = int.from_bytes(data[at + 72:at + 74], "little")
        if data[at + 76:at + 76 + length] == name.encode():
            data[at + 2] |= 0x10
        at = data.find(b"nk", at + 2)
    pathlib.Path(path).write_bytes(data)


def read_hive(path):
    """{key path in lower case: {value name: (type, bytes)}} as regfexport reads it."""
    keys, key, name, kind, size = {}, None, None, None, 0
    lines = subprocess.run(["regfexport", path], capture_output=True, text=True, check=True).stdout.split("\n")
    for i, line in enumerate(lines):
        if line.startswith("Key path: "):
            key = keys.setdefault(line[10:].lower(), {})
        elif line.startswith("Value: "):
            name = line[7:].split(" ", 1)[1]
            name = "" if name == "(default)" else name
        elif line.startswith("Type: "):
            kind = TYPES.get(line[line.rfind("(") + 1:-1])
        elif line.startswith("Data size: "):
            size = int(line[11:])
        elif line.startswith("Data:") and kind is not None:
            text = line[6:]
            if kind in (SZ, EXPAND_SZ):
                data = (text + "\0").encode("utf-16-le")
            elif kind == DWORD:
                data = int(text).to_bytes(4, "little")
            else:  # hex dump rows of up to 16 bytes, then their characters
                hexes = []
                for row in lines[i + 1:i + 1 + (size + 15) // 16]:
                    hexes += row[10:].split()[:min(16, size - len(hexes))]
                data = bytes.fromhex(" ".join(hexes))
            key[name.lower()] = (kind, data if len(data) == size else None)
    return keys


def expected_values(family):
    """(key below the SOFTWARE hive's root, value name, (type, bytes)) of tests/expected/<family>.reg."""
    keys, _ = read_reg([os.path.join(EXPECTED, family + ".reg")])
    for key, values in keys.items():
        for name, value in values.items():
            yield "root\\" + key.split("\\", 2)[2], name, value


class OfflineRepair(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="morvane-offline-")
        self.addCleanup(shutil.rmtree, self.root)

    def lay_out(self, version="6.1", product_type="WinNT", product="Windows 7", xp=False):
        """A damaged installation: SOFTWARE's classes, alice's override of .exe, bob's .exe a link."""
        windows, profiles = ("WINDOWS/system32/config", "documents and settings/%s/LOCAL SETTINGS/"
                             "application data/Microsoft/windows/usrclass.DAT") if xp else \
            ("Windows/System32/config", "Users/%s/AppData/Local/Microsoft/Windows/UsrClass.dat")
        names = ("software", "system") if xp else ("SOFTWARE", "SYSTEM")
        self.software, self.system = (os.path.join(self.root, windows, n) for n in names)
        users = r"%SystemDrive%\Documents and Settings" if xp else r"C:\Users"
        write_hive(self.software, {
            CURRENT_VERSION: {"CurrentVersion": sz(version), "CurrentBuildNumber": sz("7601"),
                              "ProductName": sz(product), "SystemRoot": sz(r"C:\Windows")},
            CURRENT_VERSION + r"\ProfileList\S-1-5-18": {"ProfileImagePath": sz(r"%systemroot%\system32\config\systemprofile", EXPAND_SZ)},
            CURRENT_VERSION + "\\ProfileList\\" + ALICE: {"ProfileImagePath": sz(users + r"\alice", EXPAND_SZ)},
            CURRENT_VERSION + "\\ProfileList\\" + BOB: {"ProfileImagePath": sz(users + r"\bob", EXPAND_SZ)},
            r"Classes\.exe": {"": sz("badfile")},
            r"Classes\exefile\shell\open\command": {"": sz(r"C:\evil.exe %1")},
        })
        write_hive(self.system, {
            "Select": {"Current": (DWORD, b"\x02\0\0\0")},
            r"ControlSet002\Control\ProductOptions": {"ProductType": sz(product_type)},
            r"ControlSet002\Control\Session Manager\Environment": {"PROCESSOR_ARCHITECTURE": sz("AMD64")},
        })
        self.alice = os.path.join(self.root, profiles % "alice")
        self.bob = os.path.join(self.root, profiles % "bob")
        write_hive(self.alice, {".exe": {"": sz("evilfile")}, r"evilfile\shell\open\command": {"": sz("evil %1")}})
        write_hive(self.bob, {".exe": {"SymbolicLinkValue": (LINK, ("\\REGISTRY\\USER\\%s_Classes\\keepme" % BOB).encode("utf-16-le"))},
                              "keepme": {"": sz("notaclass")}})
        make_link(self.bob, ".exe")
        self.hives = [self.software, self.system, self.alice, self.bob]

    def run_offline(self, *args, answer=""):
        log = os.path.join(self.root, "Morvane.txt")
        run = subprocess.run([OFFLINE, "--log", log] + list(args) + [self.root], input=answer,
                             capture_output=True, text=True, timeout=120)
        data = contents(log)
        self.assertEqual(data[:2], b"\xff\xfe", run.stdout + run.stderr)
        return run.returncode, data[2:].decode("utf-16-le")

    def test_each_family_is_repaired_for_the_machine_and_every_profile(self):
        for family, version, product_type, product, expected, xp in FAMILIES:
            with self.subTest(family):
                self.setUp()
                self.lay_out(version, product_type, product, xp)
                before = {hive: contents(hive) for hive in self.hives}
                code, log = self.run_offline("--yes")
                self.assertEqual(code, 0, log)
                self.assertIn("User profile C:\\%s\\alice:\r\n  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to evilfile!\r\n"
                              % ("Documents and Settings" if xp else "Users"), log)
                machine = read_hive(self.software)
                for key, name, value in expected_values(expected):
                    self.assertEqual(machine.get(key, {}).get(name.lower()), value, (key, name))
                alice, bob = read_hive(self.alice), read_hive(self.bob)
                self.assertFalse({"root\\.exe", "root\\evilfile"} & set(alice))
                self.assertNotIn("root\\.exe", bob)
                self.assertEqual(bob["root\\keepme"][""], sz("notaclass"))  # the link's target stays
                for hive in (self.software, self.alice, self.bob):
                    self.assertEqual(contents(hive + ".morvane-backup"), before[hive])
                self.assertEqual(contents(self.system), before[self.system])
                code, log = self.run_offline("--yes")
                self.assertEqual(code, 0, log)
                self.assertNotIn("  *", log)

    def test_refusals_change_nothing(self):
        cases = [
            ("dirty user hive", lambda: patch_header(self.alice, 7), ["--yes"], "sequence numbers differ"),
            ("read-only SOFTWARE", lambda: os.chmod(self.software, 0o444), ["--yes"], "is read-only"),
            ("not a hive", lambda: pathlib.Path(self.system).write_bytes(b"garbage"), ["--yes"], "is not a registry hive"),
            ("no answer", lambda: None, [], "Program cancelled by the user!"),
            ("Windows 8.1", lambda: write_hive(self.software, {CURRENT_VERSION: {"CurrentVersion": sz("6.3")}}),
             ["--yes"], "Your operating system, Unknown Version, is not supported."),
        ]
        for name, damage, args, message in cases:
            with self.subTest(name):
                self.setUp()
                self.lay_out()
                damage()
                before = {path: contents(path) for path in self.hives}
                code, log = self.run_offline(*args)
                self.assertEqual(code, 1, log)
                self.assertIn(message, log)
                self.assertEqual({path: contents(path) for path in self.hives}, before)
                self.assertFalse(any(os.path.exists(path + ".morvane-backup") for path in self.hives))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
