"""End to end: morvane-offline repairs a Windows volume laid out in a scratch
folder, and reglookup (independent of libhivex) reads the result.

    offline_test.py MORVANE_OFFLINE MAKE_BLANK_HIVE EXPECTED_DIR
"""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest
from urllib.parse import unquote, unquote_to_bytes

sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "wine"))
from runner import read_reg  # noqa: E402

OFFLINE, MAKE_BLANK_HIVE, EXPECTED = sys.argv[1:4]
SZ, EXPAND_SZ, BINARY, DWORD, LINK = 1, 2, 3, 4, 6
ALICE, BOB = "S-1-5-21-7-7-7-1001", "S-1-5-21-7-7-7-1002"
CURRENT_VERSION = r"Microsoft\Windows NT\CurrentVersion"


def sz(text, kind=SZ):
    return kind, (text + "\0").encode("utf-16-le")


# reglookup's value column ("%XX" escapes) as (type, bytes), by its type column
READ = {"SZ": lambda text: sz(unquote(text)), "EXPAND_SZ": lambda text: sz(unquote(text), EXPAND_SZ),
        "BINARY": lambda text: (BINARY, unquote_to_bytes(text)),
        "DWORD": lambda text: (DWORD, int(text, 16).to_bytes(4, "little"))}

# name, CurrentVersion, ProductType, product name, expected file, XP layout
FAMILIES = [
    ("xp-x64", "5.2", "WinNT", "Microsoft Windows XP", "server2003", True),
    ("server2003", "5.2", "ServerNT", "Microsoft Windows Server 2003", "server2003", True),
    ("vista", "6.0", "WinNT", "Windows Vista (TM) Business", "vista", False),
    ("win7", "6.1", "WinNT", "Windows 7 Professional", "win7", False),
    ("win8", "6.2", "ServerNT", "Windows Server 8 Beta Datacenter", "win8", False),
]


def write_hive(path, keys):
    """A hive holding `keys` ({path: {value name: (type, bytes)}}), made with hivexsh."""
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([MAKE_BLANK_HIVE, path], check=True)
    made = dict.fromkeys(tuple(key.split("\\")[:depth + 1]) for key in keys for depth in range(key.count("\\") + 1))
    script = ["cd \\%s\nadd %s" % ("\\".join(parts[:-1]), parts[-1]) for parts in made]
    for key, values in keys.items():
        script += ["cd \\" + key, "setval %d" % len(values)]
        for name, (kind, data) in values.items():
            script += [name or "@", "hex:%d:%s" % (kind, data.hex(","))]
    subprocess.run(["hivexsh", "-w", path], input="\n".join(script + ["commit"]) + "\n", text=True, check=True)


def flip(path, masks):
    """XORs bytes of the file at `path` with {offset: mask}."""
    data = bytearray(path.read_bytes())
    for at, mask in masks.items():
        data[at] ^= mask
    path.write_bytes(data)


def read_hive(path):
    """{key path below the root: {value name: (type, bytes)}}, names in lower case, as reglookup reads it."""
    keys = {}
    out = subprocess.run(["reglookup", "-H", path], capture_output=True, text=True, check=True).stdout
    for where, kind, text, _ in (line.split(",") for line in out.splitlines()):
        names = [unquote(name).lower() for name in where.split("/")[1:]]
        if kind == "KEY":
            keys.setdefault("\\".join(names), {})
        else:
            keys.setdefault("\\".join(names[:-1]), {})[names[-1]] = READ.get(kind, lambda _: (kind, text))(text)
    return keys


def backup(hive):
    return hive.with_name(hive.name + ".morvane-backup")


class OfflineRepair(unittest.TestCase):
    def lay_out(self, version="6.1", product_type="WinNT", product="Windows 7", xp=False):
        """A damaged installation: SOFTWARE's classes, alice's override of .exe, bob's .exe a link."""
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="morvane-offline-"))
        self.addCleanup(shutil.rmtree, self.root)
        config, classes, users = ("WINDOWS/system32/config/", "documents and settings/%s/LOCAL SETTINGS/applicati"
                                  "on data/Microsoft/windows/usrclass.DAT", r"%SystemDrive%\Documents and Settings") \
            if xp else ("Windows/System32/config/", "Users/%s/AppData/Local/Microsoft/Windows/UsrClass.dat", r"C:\Users")
        self.software, self.system = (self.root / config / (name.lower() if xp else name) for name in ("SOFTWARE", "SYSTEM"))
        self.alice, self.bob = (self.root / (classes % name) for name in ("alice", "bob"))
        profiles = {"S-1-5-18": r"%systemroot%\system32\config\systemprofile", ALICE: users + r"\alice", BOB: users + r"\bob"}
        write_hive(self.software, {
            CURRENT_VERSION: {"CurrentVersion": sz(version), "CurrentBuildNumber": sz("7601"),
                              "ProductName": sz(product), "SystemRoot": sz(r"C:\Windows")},
            **{CURRENT_VERSION + "\\ProfileList\\" + sid: {"ProfileImagePath": sz(folder, EXPAND_SZ)}
               for sid, folder in profiles.items()},
            r"Classes\.exe": {"": sz("badfile")},
            r"Classes\exefile\shell\open\command": {"": sz(r"C:\evil.exe %1")},
        })
        write_hive(self.system, {
            "Select": {"Current": (DWORD, b"\x02\0\0\0")},
            r"ControlSet002\Control\ProductOptions": {"ProductType": sz(product_type)},
            r"ControlSet002\Control\Session Manager\Environment": {"PROCESSOR_ARCHITECTURE": sz("AMD64")},
        })
        write_hive(self.alice, {".exe": {"": sz("evilfile")}, r"evilfile\shell\open\command": {"": sz("evil %1")}})
        write_hive(self.bob, {".exe": {"SymbolicLinkValue": (LINK, ("\\REGISTRY\\USER\\%s_Classes\\keepme" % BOB).encode("utf-16-le"))},
                              "keepme": {"": sz("notaclass")}})
        # KEY_SYM_LINK in the flags of .exe's key record, whose name is 76 bytes
        # past its "nk" (hivexsh has no way to set it)
        flip(self.bob, {self.bob.read_bytes().index(b".exe") - 74: 0x10})
        self.hives = [self.software, self.system, self.alice, self.bob]

    def run_offline(self, *args):
        log = self.root / "Morvane.txt"
        run = subprocess.run([OFFLINE, "--log", log, *args, self.root], input="", capture_output=True, text=True,
                             timeout=120)
        data = log.read_bytes()
        self.assertEqual(data[:2], b"\xff\xfe", run.stdout + run.stderr)
        return run.returncode, data[2:].decode("utf-16-le")

    def test_each_family_is_repaired_for_the_machine_and_every_profile(self):
        for family, version, product_type, product, expected, xp in FAMILIES:
            with self.subTest(family):
                self.lay_out(version, product_type, product, xp)
                before = {hive: hive.read_bytes() for hive in self.hives}
                code, log = self.run_offline("--yes")
                self.assertEqual(code, 0, log)
                self.assertIn("User profile C:\\%s\\alice:\r\n  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to evilfile!\r\n"
                              % ("Documents and Settings" if xp else "Users"), log)
                machine = read_hive(self.software)
                for key, values in read_reg([pathlib.Path(EXPECTED, expected + ".reg")])[0].items():
                    for name, value in values.items():  # keys below HKEY_LOCAL_MACHINE\Software
                        self.assertEqual(machine.get(key.split("\\", 2)[2], {}).get(name), value, (key, name))
                alice, bob = read_hive(self.alice), read_hive(self.bob)
                self.assertFalse({".exe", "evilfile"} & set(alice))
                self.assertNotIn(".exe", bob)
                self.assertEqual(bob["keepme"][""], sz("notaclass"))  # the link's target stays
                for hive in (self.software, self.alice, self.bob):
                    self.assertEqual(backup(hive).read_bytes(), before[hive])
                self.assertEqual(self.system.read_bytes(), before[self.system])
                code, log = self.run_offline("--yes")
                self.assertEqual(code, 0, log)
                self.assertNotIn("  *", log)

    def test_refusals_change_nothing(self):
        cases = [  # the dirty hive's second sequence number, 1 made 7, and its XOR checksum kept right
            ("dirty user hive", lambda: flip(self.alice, {8: 6, 508: 6}), ["--yes"], "sequence numbers differ"),
            ("read-only SOFTWARE", lambda: self.software.chmod(0o444), ["--yes"], "is read-only"),
            ("not a hive", lambda: self.system.write_bytes(b"garbage"), ["--yes"], "is not a registry hive"),
            ("no answer", lambda: None, [], "Program cancelled by the user!"),
            ("Windows 8.1", lambda: write_hive(self.software, {CURRENT_VERSION: {"CurrentVersion": sz("6.3")}}),
             ["--yes"], "Your operating system, Unknown Version, is not supported."),
        ]
        for name, damage, args, message in cases:
            with self.subTest(name):
                self.lay_out()
                damage()
                before = {hive: hive.read_bytes() for hive in self.hives}
                code, log = self.run_offline(*args)
                self.assertEqual(code, 1, log)
                self.assertIn(message, log)
                self.assertEqual({hive: hive.read_bytes() for hive in self.hives}, before)
                self.assertFalse(any(backup(hive).exists() for hive in self.hives))

    def test_usage_goes_to_stdout_only_when_asked_for(self):
        for args, code, usage, other in ((["--help"], 0, "stdout", "stderr"), (["--force", "/mnt"], 1, "stderr", "stdout")):
            with self.subTest(args[0]):
                run = subprocess.run([OFFLINE, *args], capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, code)
                self.assertTrue(getattr(run, usage).startswith("usage: morvane-offline "), run)
                self.assertEqual(getattr(run, other), "")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
