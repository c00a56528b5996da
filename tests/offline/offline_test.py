"""End to end: morvane-offline repairs a Windows volume laid out in a scratch
folder, its hives laid out as Windows lays them out, and reglookup
(independent of libhivex) reads the result.

    offline_test.py MORVANE_OFFLINE EXPECTED_DIR WINDOWS_HIVES_DIR
"""
import os
import pathlib
import re
import resource
import select
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest
from urllib.parse import unquote, unquote_to_bytes

sys.path[:0] = [str(pathlib.Path(__file__).parent.parent / "wine"), str(pathlib.Path(__file__).parent)]
from runner import read_reg, read_text  # noqa: E402
from hives import DESCRIPTOR, check_hive, field, header, write_hive  # noqa: E402

OFFLINE, EXPECTED, WINDOWS_HIVES = (os.path.abspath(path) for path in sys.argv[1:4])
DOCS = pathlib.Path(__file__).parent.parent.parent / "docs"
SZ, EXPAND_SZ, BINARY, DWORD, LINK = 1, 2, 3, 4, 6
ALICE, BOB, CAROL = "S-1-5-21-7-7-7-1001", "S-1-5-21-7-7-7-1002", "S-1-5-21-7-7-7-1003"
VISTA_CLASSES = "AppData/Local/Microsoft/Windows/UsrClass.dat"
CURRENT_VERSION = r"Microsoft\Windows NT\CurrentVersion"


def sz(text, kind=SZ):
    return kind, (text + "\0").encode("utf-16-le")


# reglookup's value column ("%XX" escapes) as (type, bytes), by its type column
READ = {"SZ": lambda text: sz(unquote(text)), "EXPAND_SZ": lambda text: sz(unquote(text), EXPAND_SZ),
        "BINARY": lambda text: (BINARY, unquote_to_bytes(text)),
        "DWORD": lambda text: (DWORD, int(text, 16).to_bytes(4, "little"))}

# name, version.build (from 10.0 on CurrentVersion stays "6.3" beside the version numbers), ProductType,
# product name, expected file, XP layout, hive format 1.x, keys beside the classes (thousands: index
# roots over index leaves), the name the run gives it
FAMILIES = [
    ("xp-x64", "5.2.3790", "WinNT", "Microsoft Windows XP", "server2003", True, 3, 0, "Windows XP Professional x64"),
    ("server2003", "5.2.3790", "ServerNT", "Microsoft Windows Server 2003", "server2003", True, 5, 0,
     "Windows Server 2003"),
    ("vista", "6.0.6002", "WinNT", "Windows Vista (TM) Business", "vista", False, 3, 0, "Windows Vista"),
    ("win7", "6.1.7601", "WinNT", "Windows 7 Professional", "win7", False, 3, 2500, "Windows 7"),
    ("win8", "6.2.9200", "ServerNT", "Windows Server 8 Beta Datacenter", "win8", False, 5, 2500, "Windows Server 8"),
    ("win81", "6.3.9600", "WinNT", "Windows 8.1 Pro", "win81", False, 5, 0, "Windows 8.1"),
    ("win10", "10.0.19045", "WinNT", "Windows 10 Pro", "win81", False, 5, 0, "Windows 10"),
    ("win11", "10.0.22631", "WinNT", "Windows 10 Pro", "win81", False, 5, 2500, "Windows 11"),
    ("server2022", "10.0.20348", "ServerNT", "Windows Server 2022 Datacenter", "win81", False, 5, 0,
     "Windows Server 2022"),
]
# The policies that stop programs, beside others that stay: in SOFTWARE, and in alice's NTUSER.DAT below Software
POLICIES = r"Microsoft\Windows\CurrentVersion\Policies"
POLICY_KEYS = {POLICIES + r"\Explorer": {"NoDrives": (DWORD, bytes([4, 0, 0, 0])), "DisallowRun": (DWORD, bytes([1, 0, 0, 0]))},
               POLICIES + r"\Explorer\DisallowRun": {"1": sz("taskmgr.exe")},
               POLICIES + r"\System": {"DisableTaskMgr": (DWORD, bytes([1, 0, 0, 0])), "EnableLUA": (DWORD, bytes([1, 0, 0, 0]))},
               r"Policies\Microsoft\Windows\System": {"DisableCMD": (DWORD, bytes([2, 0, 0, 0]))}}
POLICIES_LEFT = {POLICIES.lower() + r"\explorer": {"nodrives": (DWORD, bytes([4, 0, 0, 0]))},
                 POLICIES.lower() + r"\system": {"enablelua": (DWORD, bytes([1, 0, 0, 0]))},
                 r"policies\microsoft\windows\system": {}}


def policy_lines(root):
    key = root + "\\" + POLICIES
    return ("  * %s\\Explorer\\\\DisallowRun exists and is set to 1!\n  * %s\\Explorer\\\\DisallowRun has been deleted!\n\n"
            "  * %s\\Explorer\\DisallowRun has been deleted!\n\n"
            "  * %s\\System\\\\DisableTaskMgr exists and is set to 1!\n  * %s\\System\\\\DisableTaskMgr has been deleted!\n\n"
            "  * %s\\Policies\\Microsoft\\Windows\\System\\\\DisableCMD exists and is set to 2!\n"
            "  * %s\\Policies\\Microsoft\\Windows\\System\\\\DisableCMD has been deleted!\n\n") % (
                key, key, key, key, key, root, root)


# What no family writes where exefile's and batfile's verbs start programs, beside a verb of its own that stays
VERB_KEYS = {r"Classes\exefile\shell": {"": sz("evil")}, r"Classes\exefile\shell\evil\command": {"": sz(r"C:\evil.exe")},
             r"Classes\exefile\shell\open\command": {"": sz(r"C:\evil.exe %1"), "DelegateExecute": sz("{E}")},
             r"Classes\exefile\shell\other\command": {"": sz("notepad.exe %1")},
             r"Classes\batfile\shell\open\ddeexec": {"": sz("[open]")}}
# Windows 8's Pin to Start verb of exefile, as it holds it: gone from 8.1 on, a verb of its own before
PIN_VERB = {r"Classes\exefile\shell\pintostartscreen": {"MUIVerb": sz("@shell32.dll,-51201"), "NeverDefault": sz(""),
                                                         "Description": sz("@shell32.dll,-51202"),
                                                         "MultiSelectModel": sz("Single")},
            r"Classes\exefile\shell\pintostartscreen\command": {"DelegateExecute": sz("{470C0EBD-5D73-4d58-9CED-E91E22E23282}")}}
VERB_LINES = ("  * HKLM\\Software\\Classes\\exefile\\shell\\\\@ exists and is set to evil!\n"
              "  * HKLM\\Software\\Classes\\exefile\\shell\\\\@ has been deleted!\n\n"
              "  * HKLM\\Software\\Classes\\exefile\\shell\\evil found and deleted!\n\n"
              "  * HKLM\\Software\\Classes\\exefile\\shell\\open\\command\\\\DelegateExecute exists and is set to {E}!\n"
              "  * HKLM\\Software\\Classes\\exefile\\shell\\open\\command\\\\DelegateExecute has been deleted!\n\n"
              "  * HKLM\\Software\\Classes\\batfile\\shell\\open\\ddeexec found and deleted!\n\n")
# The debuggers of Image File Execution Options in SOFTWARE, beside values and keys that stay: one kept, as it
# starts a program inside Program Files; one naming a link there, which is not followed, and goes
IFEO = CURRENT_VERSION + r"\Image File Execution Options"
DEBUGGER_KEYS = {IFEO + r"\regedit.exe": {"Debugger": sz(r'"%ProgramFiles%\Kept\kept.exe" /e')},
                 IFEO + r"\sethc.exe": {"Debugger": sz(r'"C:\Program Files\Linked\kept.exe"')},
                 IFEO + r"\taskmgr.exe": {"Debugger": sz(r"C:\Windows\evil.exe"), "GlobalFlag": sz("0x2")},
                 IFEO + r"\winword.exe": {"MitigationOptions": (BINARY, bytes([0, 1, 0, 0]))},
                 "Wow6432Node\\" + IFEO + r"\msconfig.exe": {"Debugger": sz("cmd.exe /c exit")},
                 r"Microsoft\Windows\CurrentVersion": {"ProgramFilesDir": sz(r"C:\Program Files"),
                                                       "ProgramFilesDir (x86)": sz(r"C:\Program Files (x86)")}}
DEBUGGERS_LEFT = {IFEO.lower() + r"\regedit.exe": {"debugger": sz(r'"%ProgramFiles%\Kept\kept.exe" /e')},
                  IFEO.lower() + r"\sethc.exe": {}, IFEO.lower() + r"\taskmgr.exe": {"globalflag": sz("0x2")},
                  IFEO.lower() + r"\winword.exe": {"mitigationoptions": (BINARY, bytes([0, 1, 0, 0]))},
                  "wow6432node\\" + IFEO.lower() + r"\msconfig.exe": {}}
KEPT_LINES = ('  * HKLM\\Software\\%s\\regedit.exe\\\\Debugger exists and is set to "%%ProgramFiles%%\\Kept\\kept.exe" /e!\n'
              "  * HKLM\\Software\\%s\\regedit.exe\\\\Debugger was kept: it starts C:\\Program Files\\Kept\\kept.exe, "
              "a program installed in C:\\Program Files!\n\n") % (IFEO, IFEO)
DEBUGGER_LINES = KEPT_LINES + "".join(
    "  * HKLM\\Software\\%s\\\\Debugger exists and is set to %s!\n  * HKLM\\Software\\%s\\\\Debugger has been deleted!\n\n"
    % (key, data, key) for key, data in ((IFEO + r"\sethc.exe", r'"C:\Program Files\Linked\kept.exe"'),
                                         (IFEO + r"\taskmgr.exe", r"C:\Windows\evil.exe"),
                                         ("Wow6432Node\\" + IFEO + r"\msconfig.exe", "cmd.exe /c exit")))


# alice's Explorer choices in her NTUSER.DAT: those of every version for .exe go, the rest stays
FILE_EXTS = r"Software\Microsoft\Windows\CurrentVersion\Explorer\FileExts\.exe"
USER_KEYS = {FILE_EXTS: {"Application": sz("evil.exe"), "Progid": sz("evilfile"), "kept": sz("kept")},
             FILE_EXTS + r"\UserChoice": {"ProgId": sz("txtfile"), "Hash": sz("AAAAAAAAAAA=")},
             FILE_EXTS + r"\UserChoiceLatest\ProgId": {"ProgId": sz("evil.1")},
             FILE_EXTS + r"\UserChoiceLatest": {"Hash": sz("AAAAAAAAAAA=")},
             FILE_EXTS + r"\UserChoicePrevious": {"ProgId": sz("evil.2")},
             FILE_EXTS + r"\OpenWithList": {"a": sz("notepad.exe"), "MRUList": sz("a")},
             FILE_EXTS + r"\OpenWithProgids": {"exefile": (0, b"")}, r"Software\Kept": {"": sz("kept")},
             **{"Software\\" + key: values for key, values in POLICY_KEYS.items()}}
GONE = ["userchoice", "userchoicelatest", "userchoicelatest\\progid", "userchoiceprevious"]
CHOICE_LINES = "".join("  * HKCU\\%s\\%s exists and is set to %s!\n  * HKCU\\%s\\%s has been deleted!\n\n"
                       % (FILE_EXTS, name, data, FILE_EXTS, name) for name, data in (
                           ("UserChoice", "txtfile"), ("UserChoiceLatest", "evil.1"), ("UserChoicePrevious", "evil.2"),
                           ("\\Application", "evil.exe"), ("\\Progid", "evilfile")))
# alice's own exefile class, named by no .exe key of hers, goes; her other classes stay
USER_CLASS_LINE = "  * HKCU\\SOFTWARE\\Classes\\exefile has been deleted!\n\n"
# a change the run made, and lines of the dry run saying it would make it
PAST = re.compile(r"has been deleted|found and deleted|was recreated|was reset to")
PREDICTED = ("  * HKLM\\Software\\Classes\\.exe\\\\@ would be reset to exefile!\n",
             "\\command\\\\@ was changed. It would be reset to \"%1\" %*!\n",
             "  * HKLM\\Software\\Classes\\comfile does not exist and would be recreated!\n",
             "  * HKCU\\SOFTWARE\\Classes\\.exe would be deleted!\n",
             "  * HKCU\\%s\\UserChoice would be deleted!\n" % FILE_EXTS)


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


def key_times(path):
    """{key path below the root: its last-write time as reglookup prints it, in UTC}, names in lower case."""
    out = subprocess.run(["reglookup", "-H", "-t", "KEY", path], capture_output=True, text=True, check=True).stdout
    return {"\\".join(unquote(name).lower() for name in where.split("/")[1:]): when
            for where, _, _, when in (line.split(",") for line in out.splitlines())}


def merged(undo, hive, prefix, export=None):
    """The keys of a copy of `hive` after the undo guide's command merged into it its part of `undo` (with
    hivexregedit's export of the key `export`, its bytes exact); what the command said when it failed."""
    block = re.search(r"<!-- pasted: undo-merge -->\n```sh\n(.*?)```", (DOCS / "undo.md").read_text(), re.S)[1]
    block = re.sub(r"^(undo|hive|prefix)=.*\n", "", block, flags=re.M).replace("sudo ", "")
    with tempfile.TemporaryDirectory() as folder:
        copy = pathlib.Path(folder, "hive")
        shutil.copyfile(hive, copy)
        run = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", block], capture_output=True, text=True,
                             env={**os.environ, "undo": str(undo), "hive": str(copy), "prefix": prefix})
        if run.returncode != 0:
            return run.stderr
        if export is None:
            return read_hive(copy)
        return read_hive(copy), subprocess.run(["hivexregedit", "--export", copy, export], capture_output=True,
                                               text=True, check=True).stdout


def as_windows_names(hives):
    """The keys of {prefix: hive file} as one {full key name: values}, every key above them included, as Windows
    names them when the hives are loaded."""
    keys = {}
    for prefix, hive in hives.items():
        keys.update({(prefix + "\\" + key).rstrip("\\"): values for key, values in read_hive(hive).items()})
    return with_parents(keys)


def with_parents(keys):
    for key in list(keys):
        for depth in range(1, key.count("\\") + 1):
            keys.setdefault(key.rsplit("\\", depth)[0], {})
    return keys


def backup(hive, number=""):
    return hive.with_name(hive.name + ".morvane-backup" + number)


def files(folder):
    """{path: bytes, or the target of a link} of everything below `folder` but the run's record."""
    return {path: os.readlink(path) if path.is_symlink() else path.read_bytes() if path.is_file() else None
            for path in pathlib.Path(folder).rglob("*") if "Morvane" not in path.parts}


def said(text):
    """The repair lines of a run's text."""
    return [line for line in text.splitlines() if line.startswith("  * ")]


def fill(folder, left):
    """Fills the file system of `folder` but for `left` bytes."""
    system = os.statvfs(folder)
    with open(folder / "filler", "wb") as filler:
        os.posix_fallocate(filler.fileno(), 0, system.f_bavail * system.f_frsize - left)


def mount(*command):
    """Runs a mount command as root, or skips the test saying why it cannot."""
    if os.geteuid() != 0 or subprocess.run(command, capture_output=True).returncode != 0:
        raise unittest.SkipTest("%s: not possible here (root and the file system's support needed)" % command[0])


class OfflineRepair(unittest.TestCase):
    def lay_out(self, version="6.1.7601", product_type="WinNT", product="Windows 7", xp=False, minor=3, many=0,
                profiles=(), root=None):
        """A damaged installation: SOFTWARE's classes, alice's override of .exe and her Explorer choice for it,
        bob's .exe a link; `many` classes beside them in SOFTWARE and in alice's hive; `profiles` more of them;
        in `root`, or in a new folder."""
        self.root = self.target = root or pathlib.Path(tempfile.mkdtemp(prefix="morvane-offline-"))
        self.user, self.program = None, OFFLINE
        if not root:
            self.addCleanup(shutil.rmtree, self.root)
        config, classes, users = ("WINDOWS/system32/config/", "documents and settings/%s/LOCAL SETTINGS/applicati"
                                  "on data/Microsoft/windows/usrclass.DAT", r"%SystemDrive%\Documents and Settings") \
            if xp else ("Windows/System32/config/", "Users/%s/AppData/Local/Microsoft/Windows/UsrClass.dat", r"C:\Users")
        self.software, self.system = (self.root / config / (name.lower() if xp else name) for name in ("SOFTWARE", "SYSTEM"))
        self.alice, self.bob = (self.root / (classes % name) for name in ("alice", "bob"))
        self.alice_user = self.root / (classes % "alice").split("/")[0] / "alice/NTUSER.DAT"
        profiles = {"S-1-5-18": r"%systemroot%\system32\config\systemprofile", ALICE: users + r"\alice",
                    BOB: users + r"\bob", CAROL: users + r"\carol", **dict(profiles)}  # carol's folder is gone
        major_minor, build = version.rsplit(".", 1)
        major = int(major_minor.split(".")[0])
        self.many = {".m%05d" % i: {"": sz("m%dfile" % i)} for i in range(many)}
        self.machine = {
            CURRENT_VERSION: {"CurrentVersion": sz(major_minor if major < 10 else "6.3"),
                              "CurrentBuildNumber": sz(build),
                              "ProductName": sz(product), "SystemRoot": sz(r"C:\Windows"),
                              **({"CurrentMajorVersionNumber": (DWORD, bytes([major, 0, 0, 0])),
                                  "CurrentMinorVersionNumber": (DWORD, bytes(4))} if major >= 10 else {})},
            **{CURRENT_VERSION + "\\ProfileList\\" + sid: {"ProfileImagePath": sz(folder, EXPAND_SZ)}
               for sid, folder in profiles.items()},
            r"Classes\.exe": {"": sz("badfile")},
            **{"Classes\\" + key: values for key, values in self.many.items()}, **POLICY_KEYS, **DEBUGGER_KEYS,
            **VERB_KEYS, **PIN_VERB,
        }
        self.machine_at = write_hive(self.software, self.machine, minor)
        write_hive(self.system, {
            "Select": {"Current": (DWORD, b"\x02\0\0\0")},
            r"ControlSet002\Control\ProductOptions": {"ProductType": sz(product_type)},
            r"ControlSet002\Control\Session Manager\Environment": {"PROCESSOR_ARCHITECTURE": sz("AMD64")},
        }, minor)
        self.at = write_hive(self.alice, {".exe": {"": sz("evilfile")}, r"evilfile\shell\open\command": {"": sz("evil %1")},
                                          r"exefile\shell\open\command": {"": sz("evil %1")},
                                          r"txtfile\shell\open\command": {"": sz("notepad.exe %1")},
                                          **self.many}, minor)
        write_hive(self.bob, {".exe": {"SymbolicLinkValue": (LINK, ("\\REGISTRY\\USER\\%s_Classes\\keepme" % BOB).encode("utf-16-le"))},
                              "keepme": {"": sz("notaclass")}}, minor)
        write_hive(self.alice_user, USER_KEYS, minor)
        self.hives = [self.software, self.system, self.alice, self.bob, self.alice_user]
        (self.software.parent / "systemprofile").mkdir()  # a profile folder without a classes hive
        for folder in ("Kept", "Linked"):
            (self.root / "Program Files" / folder).mkdir(parents=True)
        (self.root / "Program Files/Kept/kept.exe").write_bytes(b"MZ")
        (self.root / "Program Files/Linked/kept.exe").symlink_to("../Kept/kept.exe")

    def mounted(self, kind, *options):
        """A new folder with a file system of `kind` mounted on it, unmounted at the end."""
        folder = pathlib.Path(tempfile.mkdtemp(prefix="morvane-%s-" % kind))
        self.addCleanup(folder.rmdir)
        mount("mount", "-t", kind, *options, kind, folder) if kind == "tmpfs" else mount(*options, folder)
        self.addCleanup(subprocess.run, ["umount", folder], check=True)
        return folder

    def run_offline(self, *args, preexec=None, cwd=None):
        """The exit code and the text shown, its lines ended in LF alone; a run that kept a log kept the same text,
        but the question."""
        run = subprocess.run([self.program, *args, self.target], input=b"", capture_output=True, timeout=120,
                             user=self.user, preexec_fn=preexec, cwd=cwd)
        self.assertNotIn(b"\r", run.stdout + run.stderr)
        if run.returncode != 1 or "--dry-run" in args:
            self.assertEqual(run.stderr, b"")
        return run.returncode, (run.stdout + run.stderr).decode()

    def record(self, name="Morvane.txt"):
        """The text of a file of the run's record on the volume."""
        data = (self.root / "Morvane" / name).read_bytes()
        self.assertEqual(data[:2], b"\xff\xfe")
        return data[2:].decode("utf-16-le")

    def test_each_family_is_repaired_for_the_machine_and_every_profile(self):
        for family, version, product_type, product, expected, xp, minor, many, name in FAMILIES:
            with self.subTest(family):
                self.lay_out(version, product_type, product, xp, minor, many)
                os.chown(self.alice, 1234, 5678)
                self.alice.chmod(0o640)
                before, laid_out = {hive: hive.read_bytes() for hive in self.hives}, files(self.root)
                code, dry = self.run_offline("--dry-run")
                self.assertEqual((code, files(self.root), (self.root / "Morvane").exists()), (0, laid_out, False), dry)
                started = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime())
                code, log = self.run_offline("--yes")
                ended = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime())
                self.assertEqual(code, 0, log)
                # The dry run's lines are the run's, each change told as one that would be made.
                self.assertEqual(len(said(dry)), len(said(log)))
                self.assertFalse([line for line in said(dry) if PAST.search(line)], dry)
                for line in PREDICTED:
                    self.assertIn(line, dry)
                shown = log[:log.index("Morvane License")] + log[log.index("Resetting"):]  # but the question
                self.assertEqual(shown.replace(self.record().replace("\r\n", "\n"), ""),
                                 "Your executables (.exe, .bat, .com) should now properly execute on your computer!\n")
                self.assertEqual((self.alice.stat().st_uid, self.alice.stat().st_gid, self.alice.stat().st_mode & 0o777),
                                 (1234, 5678, 0o640))
                self.assertIn("Windows Version: %s\n" % name, log)
                self.assertIn("User profile C:\\%s\\alice:\n  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to evilfile!\n"
                              % ("Documents and Settings" if xp else "Users"), log)
                self.assertIn(" has been deleted!\n\n" + USER_CLASS_LINE + CHOICE_LINES + policy_lines("HKCU\\Software"), log)
                self.assertIn(VERB_LINES + policy_lines("HKLM\\Software") + DEBUGGER_LINES + "  - ", log)
                self.assertIn("\nUser profile C:\\%s\\carol (%s): no folder: nothing to repair.\n\n"
                              % ("Documents and Settings" if xp else "Users", CAROL), log)
                kept = read_hive(backup(self.alice_user))
                for name in GONE:
                    del kept[FILE_EXTS.lower() + "\\" + name]
                del kept[FILE_EXTS.lower()]["application"], kept[FILE_EXTS.lower()]["progid"]
                del kept["software\\" + POLICIES.lower() + "\\explorer\\disallowrun"]
                kept.update({"software\\" + key: values for key, values in POLICIES_LEFT.items()})
                self.assertEqual(read_hive(self.alice_user), kept)
                machine = read_hive(self.software)
                self.assertEqual({key: machine.get(key) for key in POLICIES_LEFT}, POLICIES_LEFT)
                self.assertNotIn(POLICIES.lower() + "\\explorer\\disallowrun", machine)
                self.assertEqual({key: machine.get(key) for key in DEBUGGERS_LEFT}, DEBUGGERS_LEFT)
                self.assertEqual((machine["classes\\exefile\\shell"], machine["classes\\exefile\\shell\\other\\command"]),
                                 ({}, {"": sz("notepad.exe %1")}))
                self.assertFalse({"classes\\exefile\\shell\\evil", "classes\\batfile\\shell\\open\\ddeexec"} & set(machine))
                self.assertNotIn("delegateexecute", machine["classes\\exefile\\shell\\open\\command"])
                pin = "classes\\exefile\\shell\\pintostartscreen"
                if expected == "win81":
                    self.assertIn("\n  * HKLM\\Software\\Classes\\exefile\\shell\\pintostartscreen found and deleted!\n\n", log)
                    self.assertNotIn(pin, machine)
                else:
                    self.assertEqual(machine[pin + "\\command"], {"delegateexecute": sz("{470C0EBD-5D73-4d58-9CED-E91E22E23282}")})
                for key, values in read_reg([pathlib.Path(EXPECTED, expected + ".reg")])[0].items():
                    for name, value in values.items():  # keys below HKEY_LOCAL_MACHINE\Software
                        self.assertEqual(machine.get(key.split("\\", 2)[2], {}).get(name), value, (key, name))
                alice, bob = read_hive(self.alice), read_hive(self.bob)
                self.assertFalse({".exe", "evilfile", "exefile"} & set(alice))
                self.assertEqual(alice["txtfile\\shell\\open\\command"], {"": sz("notepad.exe %1")})
                self.assertNotIn(".exe", bob)
                self.assertEqual(bob["keepme"][""], sz("notaclass"))  # the link's target stays
                for key, values in self.many.items():  # the keys beside, as they were
                    self.assertEqual((machine["classes\\" + key], alice[key]), (values, values))
                for hive in (self.software, self.alice, self.bob, self.alice_user):
                    self.assertEqual(backup(hive).read_bytes(), before[hive])
                    self.assertEqual(check_hive(hive), [])
                # The undo file brings back the hives as they were, but for bob's link, which it names.
                names = {"hkey_local_machine\\software": self.software, "hkey_users\\%s_classes" % ALICE.lower(): self.alice,
                         "hkey_users\\%s" % ALICE.lower(): self.alice_user,
                         "hkey_users\\%s_classes" % BOB.lower(): self.bob}
                undo = self.root / "Morvane" / "Morvane-undo.reg"
                self.assertIn('logged on: reg import "C:\\Morvane\\Morvane-undo.reg"\n', log)
                self.assertIn("\n  morvane-offline --apply-undo='%s' '%s'\n" % (undo, self.target), log)
                self.assertIn("\n  cp '%s' '%s'\n" % (backup(self.software), self.software), log)
                self.assertIn("; HKEY_USERS\\%s_Classes\\.exe was a symbolic link" % BOB, read_text(undo))
                restored = with_parents(read_reg([undo], as_windows_names(names))[0])
                expected = as_windows_names({prefix: backup(hive) for prefix, hive in names.items()})
                del expected["hkey_users\\%s_classes\\.exe" % BOB.lower()]
                self.assertEqual(restored, expected)
                # So does the guide's command from Linux, each file with its part; bob's link stays gone.
                # libhivex cannot take a key out of an index root (`many` classes beside): the merge stops, and
                # changes nothing, at the comfile the run made.
                for prefix, hive in names.items():
                    kept = read_hive(backup(hive))
                    kept.pop(".exe") if hive == self.bob else None
                    result = merged(undo, hive, prefix)
                    if many and hive in (self.software, self.alice) and isinstance(result, str):
                        self.assertRegex(result, "^node_delete_child: Operation not supported")
                        continue
                    self.assertEqual(result, kept, prefix)
                # The keys the run made or changed, and those above a key it made or deleted, carry its time.
                for hive in names.values():
                    old, new, times = read_hive(backup(hive)), read_hive(hive), key_times(hive)
                    stamped = {key for key, when in key_times(backup(hive)).items() if times.get(key, when) != when}
                    above = {key.rpartition("\\")[0] for key in set(old) ^ set(new) if key}
                    self.assertEqual(stamped, {key for key in new if key in old and (old[key] != new[key] or key in above)})
                    self.assertTrue(all(started <= times[key] <= ended for key in set(new) - set(old)), hive)
                self.assertEqual(self.system.read_bytes(), before[self.system])
                repaired, first = files(self.root), self.record()
                # The log keeps CR LF, for Notepad (after its closing lines, a LF alone, as on Windows).
                self.assertNotIn("\n", first[:-1].replace("\r\n", ""))
                code, log = self.run_offline("--yes")
                self.assertEqual(code, 0, log)
                self.assertEqual(said(log), said(KEPT_LINES))  # the kept debugger, named again
                # A second record beside the first, which stays; no undo file when nothing changed
                self.assertEqual((self.record(), self.record("Morvane-2.txt")), (first, self.record("Morvane-2.txt")))
                self.assertEqual(sorted(os.listdir(self.root / "Morvane")), ["Morvane-2.txt", "Morvane-undo.reg", "Morvane.txt"])
                self.assertEqual(files(self.root), repaired)  # no file written, no new backup
                # --apply-undo takes the run's undo file into the hives, `many` classes beside (an index root)
                # too: after a dry run that writes nothing, each hive holds again the keys and values of its
                # backup, but for bob's link; what the run wrote is the new backup.
                code, dry = self.run_offline("--dry-run", "--apply-undo")
                self.assertEqual((code, files(self.root)), (0, repaired), dry)
                self.assertIn("  * HKEY_LOCAL_MACHINE\\Software\\Classes\\comfile would be deleted!\n", dry)
                code, out = self.run_offline("--yes", "--apply-undo")
                self.assertEqual(code, 0, out)
                self.assertIn("  * HKEY_LOCAL_MACHINE\\Software\\Classes\\comfile has been deleted!\n", out)
                for hive in names.values():
                    kept = read_hive(backup(hive))
                    kept.pop(".exe") if hive == self.bob else None
                    self.assertEqual((read_hive(hive), check_hive(hive)), (kept, []), hive)
                    if hive == self.bob:  # only a comment names what the run did to it
                        self.assertEqual(hive.read_bytes(), repaired[hive])
                        continue
                    self.assertEqual(backup(hive, "-2").read_bytes(), repaired[hive])
                    self.assertIn("  - Written to %s; its backup is %s.\n" % (hive, backup(hive, "-2")), out)

    def windows_hive(self, name, to):
        """Puts the Windows-written hive `name` of WINDOWS_HIVES at `to`; skipped when they are not there."""
        if not pathlib.Path(WINDOWS_HIVES, name).is_file():
            self.skipTest("no Windows-written hives beside the project (%s)" % WINDOWS_HIVES)
        shutil.copyfile(pathlib.Path(WINDOWS_HIVES, name), to)

    def as_nobody(self):
        if os.geteuid() != 0:
            self.skipTest("the tests do not run as root")
        self.program = shutil.copy(OFFLINE, self.root)  # where that user reaches it
        for folder in [self.root, *self.root.rglob("*")]:
            folder.chmod(0o755 if folder.is_dir() or folder.name == "morvane-offline" else 0o644)
        self.user = 65534

    def read_only(self):
        """The volume, bound read-only to a new folder."""
        folder = self.mounted("bind", "mount", "--bind", self.root)
        mount("mount", "-o", "remount,ro,bind", folder)
        return folder

    def test_refusals_change_nothing(self):
        cases = [  # the dirty hive's second sequence number, 1 made 7, and its XOR checksum kept right
            ("dirty SOFTWARE", lambda: flip(self.software, {8: 6, 508: 6}), "sequence numbers differ"),
            ("dirty hive of Windows 8.1", lambda: self.windows_hive("dirty-new/NewDirtyHive", self.software),
             "sequence numbers differ"),
            ("read-only SOFTWARE", lambda: self.software.chmod(0o444), "is read-only"),
            ("not root", self.as_nobody, "cannot be written by this user. Run morvane-offline as root"),
            ("not a hive", lambda: self.system.write_bytes(b"garbage"), "is not a registry hive"),
            ("no answer", lambda: self.args.remove("--yes"), "Program cancelled by the user!"),
            ("a version after 10.0", lambda: write_hive(self.software, {CURRENT_VERSION: {
                "CurrentVersion": sz("6.3"), "CurrentMajorVersionNumber": (DWORD, bytes([11, 0, 0, 0])),
                "CurrentMinorVersionNumber": (DWORD, bytes(4)), "CurrentBuildNumber": sz("30000"),
                "ProductName": sz("Windows 12 Pro")}}),
             "Your operating system, Windows 12 Pro (build 30000), is not supported.\nMorvane repairs "),
            ("hibernated", lambda: (self.root / "HIBERFIL.SYS").write_bytes(b"hibr" + bytes(60)),
             "is hibernated, or was shut down with fast startup"),
            ("record's folder a file", lambda: (self.root / "Morvane").write_bytes(b""),
             "/Morvane for the log and undo files is not a folder that can be opened (Not a directory). Name other"),
            ("log not writable", lambda: self.args.extend(["--log", "/nonexistent/m.txt"]),
             "The log file /nonexistent/m.txt cannot be written (No such file or directory). Name another"),
            ("full file system", lambda: self.lay_out(root=self.mounted("tmpfs", "-o", "size=256k")),
             "There is too little free space on the volume mounted at "),
            ("read-only mount", lambda: setattr(self, "target", self.read_only()),
             " is mounted read-only. Mount it read-write (sudo mount -o remount,rw "),
            ("read-only mount of a hibernated Windows", lambda: [(self.root / "hiberfil.sys").write_bytes(b"WAKE" + bytes(60)),
                                                                 setattr(self, "target", self.read_only())],
             " is mounted read-only, and its Windows is hibernated, or was shut down with fast startup: "),
            ("an image file as root", lambda: setattr(self, "target", self.software),
             "SOFTWARE is not a folder: that is a disk image or device: use -a (morvane-offline -a "),
            ("a block device as root", lambda: [os.mknod(self.root / "disk", stat.S_IFBLK | 0o600, os.makedev(7, 250)),
                                                setattr(self, "target", self.root / "disk")],
             "/disk is not a folder: that is a disk image or device: use -a (morvane-offline -a "),
            ("an empty folder as root", lambda: [setattr(self, "target", self.root / "Users/bob/empty"),
                                                 self.target.mkdir()], "/empty is empty: is the volume mounted? Mount "),
            ("the Windows folder given", lambda: setattr(self, "target", self.root / "Windows"),
             "looks like the Windows folder itself: give the folder that holds it"),
            ("no such root", lambda: setattr(self, "target", self.root / "nowhere"),
             "/nowhere cannot be opened as a folder (No such file or directory)"),
        ]
        for name, damage, message in cases:
            for run in ("--yes", "--dry-run")[:1 if name == "no answer" else 2]:  # a dry run refuses as a run would
                with self.subTest(name, run=run):
                    self.lay_out()
                    self.args = [run]
                    damage()
                    before = files(self.root)
                    code, log = self.run_offline(*self.args)
                    self.assertEqual(code, 1, log)
                    self.assertIn(message, log)
                    self.assertNotIn("KiB", log)
                    # The refusal adds no empty line of its own, after the banner's or at the start.
                    self.assertFalse(log.startswith("\n") or "\n\n\n" in log, log)
                    self.assertEqual(files(self.root), before)  # hives byte for byte, no backup
                    if name not in ("no answer", "record's folder a file"):
                        self.assertFalse((self.root / "Morvane").exists())

    def test_an_undo_file_not_read_whole_or_naming_a_key_elsewhere_changes_nothing(self):
        """The undo file lies on a volume malware wrote: a line that is not exactly a record, a key of no registry file
        here, or no one file to take, is refused before anything is written."""
        head, key = "Windows Registry Editor Version 5.00\r\n\r\n", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.exe]\r\n"
        good = head + key + '@="badfile"\r\n\r\n'
        cases = [  # the file's text (None: none named, and the volume's own files as made), and what is said
            ("no byte-order mark", good.encode("utf-16-le"), "line 1: the file does not begin with the byte-order mark"),
            ("another first line", b"\xff\xfe" + ("REGEDIT4\r\n\r\n" + key).encode("utf-16-le"), "line 1: the first line is not"),
            ("a LF alone", head + key + '@="badfile"\n', "line 4: the line ends in a lone CR or LF, not in CR LF"),
            ("a value before any key", head + '@="badfile"\r\n', "line 3: a value line that follows no [KEY] line"),
            ("a value after a deletion", head + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\x]\r\n@=-\r\n",
             "line 4: a value line that follows no [KEY] line"),
            ("an odd hex digit", head + key + '"x"=hex:01,2\r\n', "line 4: hex data that is not two hex digits"),
            ("hex continued past the end", head + key + '"x"=hex(2):01,\\\r\n', "line 4: hex data continued past the end"),
            ("hex continued unindented", head + key + '"x"=hex:01,\\\r\n02\r\n', "line 5: a continued line of hex data"),
            ("a dword of seven digits", head + key + '"x"=dword:0000001\r\n', "line 4: dword: not followed by exactly eight"),
            ("an escape regedit never writes", head + key + '"x"="a\\nb"\r\n', "line 4: a backslash in quotes"),
            ("an empty key part", head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\x]\r\n", "line 3: a key name with an empty part"),
            ("a lone surrogate", b"\xff\xfe" + (head + key).encode("utf-16-le") + b"\x00\xd8", "line 4: a UTF-16 surrogate"),
            ("SYSTEM", good + "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n", "line 6: HKEY_LOCAL_MACHINE\\SYSTEM\\Select is not a "
             "key of a registry file of the Windows volume"),
            ("the current user", good + "[-HKEY_CURRENT_USER\\Software]\r\n", "line 6: HKEY_CURRENT_USER\\Software is not a key"),
            ("no such profile", good + "[HKEY_USERS\\S-1-5-21-9-9-9-1001_Classes\\x]\r\n",
             "line 6: HKEY_USERS\\S-1-5-21-9-9-9-1001_Classes\\x is below no user profile of this Windows"),
            ("a profile without hives", good + "[HKEY_USERS\\S-1-5-18\\x]\r\n", "line 6: HKEY_USERS\\S-1-5-18\\x is below "
             "no user profile of this Windows: its profile list (ProfileList) names no S-1-5-18 whose registry files"),
            ("a profile without that hive", good + "[HKEY_USERS\\%s\\x]\r\n" % BOB, "line 6: the NTUSER.DAT of the profile "
             "C:\\Users\\bob (%s) was not found" % BOB),
            ("carol's, whose folder is gone", good + "[HKEY_USERS\\%s\\x]\r\n" % CAROL, "(%s) is not there: the profile has "
             "no folder" % CAROL),
            ("a whole hive deleted", good + "[-hkey_users\\%s_classes]\r\n" % ALICE, "line 6: hkey_users\\%s_classes is the "
             "root key of a registry file, which is never deleted" % ALICE),
            ("none left by a run", None, "/Morvane: no run of morvane-offline that changed something left one there"),
            ("two left by runs", None, "Several runs left an undo file in "),
            ("no answer", good.replace("badfile", "other"), "Continue? [y/N] Program cancelled by the user!",
             lambda: args.remove("--yes")),
            ("hibernated", good.replace("badfile", "other"), "is hibernated, or was shut down with fast startup",
             lambda: (self.root / "hiberfil.sys").write_bytes(b"HIBR" + bytes(60))),
            ("a full volume", good.replace("badfile", "other"), "There is too little free space on the volume that holds ",
             lambda: self.lay_out(root=self.mounted("tmpfs", "-o", "size=1m")), lambda: fill(self.root, 32 << 10)),
        ]
        for name, text, message, *setup in cases:
            with self.subTest(name):
                self.lay_out()
                undo = self.root / "undo.reg"
                args = ["--yes", "--apply-undo" + ("=%s" % undo if text else "")]
                [change() for change in setup]
                if text is not None:
                    undo.write_bytes(text if isinstance(text, bytes) else b"\xff\xfe" + text.encode("utf-16-le"))
                elif name == "two left by runs":
                    (self.root / "Morvane").mkdir()
                    for file in ("Morvane-undo.reg", "morvane-UNDO-2.reg"):
                        (self.root / "Morvane" / file).write_bytes(b"\xff\xfe" + good.encode("utf-16-le"))
                before = files(self.root)
                code, out = self.run_offline(*args)
                self.assertEqual(code, 1, out)
                self.assertIn(message, out)
                self.assertTrue(out.endswith(" Nothing was changed.\n"), out[-300:])
                self.assertEqual(files(self.root), before)  # hives byte for byte, no backup

    def test_an_undo_whose_hive_cannot_be_written_leaves_it_and_applies_the_rest(self):
        """The rest holds values recorded as hex lines continued, and as hex(1) text beyond ASCII."""
        self.lay_out()
        write_hive(self.alice, {".exe": {"": sz("evilfile"), "large": (BINARY, bytes(range(256)) * 3), "ß": sz("Größe")},
                                r"evilfile\shell\open\command": {"": sz("evil %1")}})
        code, out = self.run_offline("--yes")
        self.assertEqual(code, 0, out)
        repaired = self.software.read_bytes()
        self.software.with_name("SOFTWARE.morvane-new").mkdir()  # where its new file goes
        code, out = self.run_offline("--yes", "--apply-undo")
        self.assertEqual(code, 2, out)
        self.assertIn("  - NOT written: %s is as it was: it could not be written back (File exists).\n" % self.software, out)
        self.assertTrue(out.endswith("The undo file was NOT applied whole: each registry file NOT written above is as it "
                                     "was, each one written has its backup beside it.\n"), out[-300:])
        self.assertEqual(self.software.read_bytes(), repaired)
        self.assertEqual(read_hive(self.alice), read_hive(backup(self.alice)))

    def test_a_record_that_cannot_be_applied_leaves_its_hive_and_the_others_are_written(self):
        """bob's record leads through a link of his into SYSTEM, which is only read: none of his is made."""
        self.lay_out()
        write_hive(self.bob, {"lock": {"SymbolicLinkValue": (LINK, "\\REGISTRY\\MACHINE\\SYSTEM\\Select".encode("utf-16-le"))}})
        undo = self.root / "undo.reg"
        undo.write_bytes(b"\xff\xfe" + ("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\%s_Classes\\kept]\r\n\r\n"
                                        "[HKEY_USERS\\%s_Classes\\lock\\x]\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.exe]\r\n"
                                        '@="exefile"\r\n' % (BOB, BOB)).encode("utf-16-le"))
        before = {hive: hive.read_bytes() for hive in (self.bob, self.system)}
        for args, code in ((["--dry-run"], 2), (["--yes"], 2)):  # the dry run ends as the run does
            run, out = self.run_offline(*args, "--apply-undo=%s" % undo)
            self.assertEqual(run, code, out)
            self.assertIn("  * line 5: HKEY_USERS\\%s_Classes\\lock\\x could not be created (error 5)!\n" % BOB, out)
            self.assertIn(("  - Would NOT be written: %s: " if "--dry-run" in args else "  - NOT written: %s is as it was: ")
                          % self.bob + "a record above could not be applied.\n", out)
        self.assertEqual({hive: hive.read_bytes() for hive in before}, before)
        self.assertEqual(read_hive(self.software)["classes\\.exe"], {"": sz("exefile")})

    def test_an_undo_takes_a_key_out_of_an_index_root_that_windows_wrote(self):
        """Where libhivex cannot: 5,000 subkeys under an ri of li leaves, in alice's classes hive."""
        self.lay_out()
        self.windows_hive("ManySubkeysHive", self.alice)
        many = "HKEY_USERS\\%s_Classes\\key_with_many_subkeys\\" % ALICE
        undo = self.root / "undo.reg"
        undo.write_bytes(b"\xff\xfe" + ("Windows Registry Editor Version 5.00\r\n\r\n[-%s2500]\r\n\r\n[%s2500x]\r\n"
                                        '"v"="x"\r\n' % (many, many)).encode("utf-16-le"))
        kept = read_hive(self.alice)
        del kept["key_with_many_subkeys\\2500"]
        code, out = self.run_offline("--yes", "--apply-undo=%s" % undo)
        self.assertEqual(code, 0, out)
        self.assertEqual((read_hive(self.alice), check_hive(self.alice)), ({**kept, "key_with_many_subkeys\\2500x": {"v": sz("x")}}, []))

    def test_a_hive_whose_records_disagree_is_left_as_it_was(self):
        key, security, command = (lambda name: self.at[name]), 32, r"evilfile\shell\open\command"
        nk_flags, nk_parent, nk_list, nk_value_list, nk_class = 6, 20, 32, 44, 52

        def alice(keys):  # alice's classes hive with `keys` beside her override
            self.at = write_hive(self.alice, {".exe": {"": sz("evilfile")}, command: {"": sz("evil %1")}, **keys})

        def swap_subkeys(hive, at):  # the first two entries of the lf or lh list of the key record at `at`
            leaf = field(hive, at, nk_list)
            first, second = field(hive, leaf, 8, "<Q"), field(hive, leaf, 16, "<Q")
            [field(hive, leaf, offset, "<Q", entry) for offset, entry in ((8, second), (16, first))]

        twin_keys = {".EXE": {"": sz("evilfile")}}
        cases = [  # what is damaged, in which hive, how, and either that a field left unused is ignored and the
            # repair made, or the damage the walk names (or that Windows did not write the hive out)
            ("not written out by Windows", "alice", lambda: flip(self.alice, {8: 6, 508: 6}),
             "was not completely written out by Windows (its two sequence numbers differ)"),
            ("class name of length 0 at the root key", "alice", lambda: field(self.alice, key(".exe"), nk_class, value=key("")),
             True),
            ("subkey list set while no subkey is counted", "alice",
             lambda: field(self.alice, key(".exe"), nk_list, value=field(self.alice, key(""), nk_list)), True),
            ("security record counting fewer uses than users", "alice", lambda: field(self.alice, security, 16, value=1),
             "a security record counts fewer uses than it has users"),
            ("value list naming another key's value", "alice", lambda: field(
                self.alice, field(self.alice, key(command), nk_value_list), 4, value=self.at[".exe", ""]),
             "a value record is reached twice"),
            ("a value record of another signature", "alice", lambda: field(self.alice, self.at[".exe", ""], 4, "<2s", b"vj"),
             "a value record is not such a record"),
            ("parent field naming another key", "alice", lambda: field(self.alice, key(".exe"), nk_parent, value=key("evilfile")),
             "a key names another parent than the key that lists it"),
            ("subkey list counting past its cell", "alice",
             lambda: field(self.alice, field(self.alice, key(""), nk_list), 6, "<H", 90), "a subkey list is shorter than"),
            ("index root listing itself", "alice", lambda: [field(self.alice, field(self.alice, key(""), nk_list), *change) for change in
                                                           ((4, "<2s", b"ri"), (6, "<H", 1), (8, "<I", field(self.alice, key(""), nk_list)))],
             "a subkey list is of no known type"),
            ("a freed key record", "alice", lambda: field(self.alice, key(".exe"), 0, "<i", -field(self.alice, key(".exe"), 0, "<i")),
             "a key record is a free cell"),
            ("bins counted to the end of the file, its header included", "alice",
             lambda: header(self.alice, 40, self.alice.stat().st_size), "its header counts more bins than the file holds"),
            ("format field 2", "alice", lambda: header(self.alice, 32, 2), "its header gives another format than 1"),
            ("clustering factor 8", "alice", lambda: header(self.alice, 44, 8), "its header gives another clustering factor than 1"),
            ("subkeys out of order", "alice", lambda: swap_subkeys(self.alice, key("")), "a subkey list is out of the order of its names"),
            ("a key name in UTF-16 of odd length", "alice", lambda: field(self.alice, key(r"evilfile\shell"), nk_flags, "<H", 0),
             "a key record's name in UTF-16 has an odd length"),
            ("a value name in UTF-16 of odd length", "alice", lambda: [alice({"x": {"odd": sz("1")}}),
                                                                     field(self.alice, self.at["x", "odd"], 20, "<H", 0)],
             "a value record's name in UTF-16 has an odd length"),
            # Windows compares names unit by unit upper-cased, beyond ASCII too.
            ("twin keys", "alice", lambda: alice(twin_keys), "a key has two subkeys whose names differ only in case"),
            ("twin keys in Latin-1", "alice", lambda: alice({"Ärger": {}, "äRGER": {}}), "a key has two subkeys whose names differ only in case"),
            ("twin keys in UTF-16", "alice", lambda: alice({"Жук": {}, "жУК": {}}), "a key has two subkeys whose names differ only in case"),
            ("twin values", "alice", lambda: alice({".exe": {"": sz("evilfile"), "Größe": sz("1"), "GRÖßE": sz("2")}}),
             "a key holds two values whose names differ only in case"),
            ("twin keys in SOFTWARE", "software", lambda: write_hive(self.software, {**self.machine, **{
                "Classes\\" + name: values for name, values in twin_keys.items()}}),
             "a key has two subkeys whose names differ only in case"),
            ("twin values in SOFTWARE", "software", lambda: write_hive(self.software, {
                **self.machine, r"Classes\.exe": {"": sz("badfile"), "Content Type": sz("a"), "CONTENT TYPE": sz("b")}}),
             "a key holds two values whose names differ only in case"),
            ("twin keys in NTUSER.DAT", "alice_user", lambda: write_hive(self.alice_user, {
                **USER_KEYS, FILE_EXTS + r"\USERCHOICE": {"ProgId": sz("txtfile")}}),
             "a key has two subkeys whose names differ only in case"),
            ("twin values in NTUSER.DAT", "alice_user", lambda: write_hive(self.alice_user, {
                **USER_KEYS, FILE_EXTS + r"\UserChoice": {"ProgId": sz("txtfile"), "PROGID": sz("txtfile")}}),
             "a key holds two values whose names differ only in case"),
            ("parent field naming another key in SOFTWARE", "software", lambda: field(
                self.software, self.machine_at[r"Classes\.exe"], nk_parent, value=self.machine_at[CURRENT_VERSION]),
             "a key names another parent than the key that lists it"),
            ("subkeys out of order in SOFTWARE", "software", lambda: swap_subkeys(self.software, self.machine_at["Classes"]),
             "a subkey list is out of the order of its names"),
        ]
        for name, hive_name, damage, repaired in cases:
            with self.subTest(name):
                self.lay_out()
                hive = getattr(self, hive_name)
                damage()
                before = hive.read_bytes()
                dry, _ = self.run_offline("--dry-run")
                code, log = self.run_offline("--yes")
                self.assertEqual(dry, code)  # the dry run ends as the run does
                if hive != self.alice_user:  # alice's Explorer choice goes whatever became of her other hives
                    self.assertNotIn(FILE_EXTS.lower() + "\\userchoice", read_hive(self.alice_user), log)
                if repaired is True:
                    self.assertEqual((code, check_hive(self.alice)), (0, []), log)
                    self.assertNotIn(".exe", read_hive(self.alice))
                    continue
                self.assertEqual(code, 2, log)
                self.assertIn(repaired if " by Windows " in repaired else "its structure is damaged: " + repaired, log)
                self.assertEqual(hive.read_bytes(), before)
                self.assertFalse(backup(hive).exists())
                if hive == self.alice:
                    self.assertRegex(log, "User profile C:\\\\Users\\\\alice:\n  \\* Its classes hive was not repaired: [^\n]*%s"
                                     % re.escape(repaired))
                    self.assertNotIn(".exe", read_hive(self.bob))  # the other profile is repaired
                if hive == self.software:
                    self.assertIn("NOT written: %s is as it was: its structure is damaged: " % self.software, log)
                if hive == self.alice_user:
                    self.assertIn("  * Its user hive was not repaired: %s: its structure is damaged: " % self.alice_user, log)
                    self.assertNotIn(".exe", read_hive(self.alice))  # the profile's classes are repaired

    def test_the_record_tells_all(self):
        def padded(text, size=10000):  # a string value of `size` bytes: its text, a NUL, and more after it
            return SZ, (text + "\0").encode("utf-16-le").ljust(size, b"x")

        exe, command = ".exe", r"evilfile\shell\open\command"
        classes, user = "HKEY_USERS\\%s_Classes\\" % ALICE, "HKCU\\" + FILE_EXTS
        backup_line = "  - Only that backup can put back %s: a name there holds a line break or NUL, which the undo file cannot write.\n"
        cases = [  # what alice's classes hive (or NTUSER.DAT) holds beside her override, the lines of the run, its
            # exit code, and whether her evilfile class goes
            ("a 10,000-byte class name", {exe: {"": padded("evilfile")}},
             ["HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to evilfile!\n",
              "HKCU\\SOFTWARE\\Classes\\evilfile has been deleted!\n"], 0, True),
            ("a default value that is no string", {exe: {"": (BINARY, sz("evilfile")[1])}},
             ["HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is not a string: it names no class!\n",
              "HKCU\\SOFTWARE\\Classes\\.exe has been deleted!\n"], 0, False),
            ("a class name longer than a key's name", {exe: {"": sz("e" * 300)}},
             ["HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to %s!\n" % ("e" * 300)], 0, False),
            ("a 10,000-byte ProgId", {"user": {**USER_KEYS, FILE_EXTS + r"\UserChoice": {"ProgId": padded("evil.9")}}},
             ["  * %s\\UserChoice exists and is set to evil.9!\n  * %s\\UserChoice has been deleted!\n" % (user, user)], 0, True),
            ("a CR in a key's name", {"evilfile\\a\rb": {"x": sz("1")}},
             [backup_line % (classes + "evilfile\\a\\x0Db")], 0, True),
            ("an LF in a value's name", {exe: {"": sz("evilfile"), "a\nb": sz("1")}}, [backup_line % (classes + ".exe")], 0, True),
            # A subkey named with a backslash stops the deletion after those before it.
            ("a deletion that stops part way", {"evilfile\\a": {}, "evilfile\\b|c": {}, "evilfile\\d": {}},
             ["  * HKCU\\SOFTWARE\\Classes\\evilfile could not be deleted whole (error 5): deleted below it, 1 key: a; still "
              "there, the key itself and below it: b\\c, d, shell, shell\\open, shell\\open\\command!\n"], 2, False),
        ]
        for name, keys, lines, code, gone in cases:
            with self.subTest(name):
                self.lay_out()
                user_keys = keys.pop("user", None)
                if user_keys:
                    write_hive(self.alice_user, user_keys)
                at = write_hive(self.alice, {exe: {"": sz("evilfile")}, command: {"": sz("evil %1")}, **keys})
                if "evilfile\\b|c" in keys:
                    field(self.alice, at["evilfile\\b|c"], 81, "<B", ord("\\"))
                run_code, log = self.run_offline("--yes")
                self.assertEqual(run_code, code, log)
                for line in lines:
                    self.assertIn(line, log)
                self.assertEqual("evilfile" not in read_hive(self.alice), gone)
                self.assertEqual(check_hive(self.alice), [])

    def test_a_long_undo_record_brings_its_values_back_or_is_withdrawn_whole(self):
        large = {"v%d" % i: (BINARY, bytes(range(256)) * 4096 * (i + 1)) for i in range(2)}  # 1 and 2 MiB
        key = "hkey_users\\%s_classes\\evilfile" % ALICE.lower()
        for written in (True, False):
            with self.subTest(written=written):
                self.lay_out()
                write_hive(self.alice, {".exe": {"": sz("evilfile")}, "evilfile": large}, 5)
                if not written:
                    self.alice.with_name(self.alice.name + ".morvane-new").mkdir()
                code, log = self.run_offline("--yes")
                self.assertEqual(code, 0 if written else 2, log)
                undo = self.root / "Morvane/Morvane-undo.reg"
                restored = read_reg([undo])[0]
                self.assertEqual(restored.get(key), {name.lower(): value for name, value in large.items()} if written else None)
                if not written:
                    self.assertIsNone(re.search(r"^(.*hex:|  [0-9a-f]{2},)", read_text(undo), re.M))  # every piece a comment

    def test_strings_beyond_ascii_come_back_through_the_linux_merge_byte_for_byte(self):
        values = {"latin": sz("C:\\\u00c4rger\\evil.exe"), "cyrillic": sz("\u0416\u0443\u043a"),
                  "astral": sz("\U0001d11e clef"), "no terminator": (SZ, "end".encode("utf-16-le"))}
        self.lay_out()
        write_hive(self.alice, {".exe": {"": sz("evilfile")}, "evilfile": values})
        code, log = self.run_offline("--yes")
        self.assertEqual(code, 0, log)
        _, export = merged(self.root / "Morvane/Morvane-undo.reg", self.alice, "HKEY_USERS\\%s_Classes" % ALICE,
                           "\\evilfile")
        for name, (_, data) in values.items():
            self.assertIn('"%s"=hex(1):%s' % (name, data.hex(",")), export)

    def test_values_the_repair_leaves_alone_keep_their_records(self):
        """A value too large for one cell, and one whose name holds a NUL, beside those the repair changes, and keys
        made among siblings."""
        large, hidden = (BINARY, bytes(range(256)) * 80), sz("otherclass")
        for minor in (3, 5):
            with self.subTest(minor=minor):
                self.lay_out(minor=minor)
                # Siblings between which the keys made go in Windows's order, not one folded to lower case.
                siblings = {"Classes\\" + name: {} for name in (".ba[", ".ba_", "batfile_", "batfilé", "Äfile")}
                write_hive(self.software, {**self.machine, **siblings, r"Classes\.exe": {"junk": large, "": sz("badfile")}},
                           minor)
                write_hive(self.alice, {".exe": {"\0hidden": hidden, "": sz("evilfile")}, "otherclass": {"": sz("kept")},
                                        r"evilfile\shell\open\command": {"": sz("evil %1")}}, minor)
                code, log = self.run_offline("--yes")
                self.assertEqual(code, 0, log)
                self.assertIn("HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to evilfile!", log)
                machine, alice = read_hive(self.software), read_hive(self.alice)
                self.assertEqual((machine["classes\\.exe"]["junk"], machine["classes\\.exe"][""]), (large, sz("exefile")))
                self.assertEqual((set(alice), alice["otherclass"]), ({"", "otherclass"}, {"": sz("kept")}))
                self.assertEqual((check_hive(self.software), check_hive(self.alice)), ([], []))

    def test_the_32_bit_view_of_the_classes_is_repaired_where_windows_keeps_it_apart(self):
        """A hijacked exefile in SOFTWARE's Wow6432Node\Classes: on XP x64 the three types are repaired there as in
        the 64-bit classes, its lines naming the keys there, and the undo file brings it back; on Windows 7 the view
        is shared and it stays as it is."""
        hijack = {r"Wow6432Node\Classes\exefile\shell\open\command": {"": sz(r"C:\evil.exe %1")}}
        for family, version, product_type, product, _, xp, minor, _, _ in (FAMILIES[0], FAMILIES[3]):
            with self.subTest(family):
                self.lay_out(version, product_type, product, xp, minor)
                write_hive(self.software, {**self.machine, **hijack}, minor)
                code, log = self.run_offline("--yes")
                self.assertEqual(code, 0, log)
                machine = read_hive(self.software)
                wow = {key[len("wow6432node\\classes\\"):]: values for key, values in machine.items()
                       if key.startswith("wow6432node\\classes\\")}
                if not xp:
                    self.assertNotIn("Wow6432Node\\Classes", log)
                    self.assertEqual((len(wow), wow["exefile\\shell\\open\\command"]), (4, {"": sz(r"C:\evil.exe %1")}))
                    continue
                self.assertIn("  * HKLM\\Software\\Wow6432Node\\Classes\\exefile\\shell\\open\\command\\\\@ was changed. "
                              'It was reset to "%1" %*!\n', log)
                self.assertIn("  * HKLM\\Software\\Wow6432Node\\Classes\\.exe did not exist and was recreated!\n", log)
                # The 32-bit view now holds what the 64-bit classes hold, but for the verbs of their own there.
                self.assertEqual(wow, {key[len("classes\\"):]: values for key, values in machine.items()
                                       if re.match(r"classes\\(\.exe|\.bat|\.com|exefile|batfile|comfile)(\\|$)", key)
                                       and not re.search(r"\\(other|pintostartscreen)(\\|$)", key)})
                names = {"hkey_local_machine\\software": self.software}
                restored = read_reg([self.root / "Morvane" / "Morvane-undo.reg"], as_windows_names(names))[0]
                self.assertEqual(restored.get("hkey_local_machine\\software\\wow6432node\\classes\\exefile\\shell\\open\\command"),
                                 {"": sz(r"C:\evil.exe %1")})

    def test_a_profile_not_reached_safely_is_named_and_nothing_outside_changes(self):
        outside = pathlib.Path(tempfile.mkdtemp(prefix="morvane-outside-"))
        self.addCleanup(shutil.rmtree, outside)
        for where in ("victim/" + VISTA_CLASSES, "data/" + VISTA_CLASSES, "system-file"):
            write_hive(outside / where, {".exe": {"": sz("evilfile")}})
        climb = os.path.relpath(outside, tempfile.gettempdir()).replace("/", "\\")
        named = [r"C:\..\%s\victim" % climb, r"C:\Users\dave", r"C:\Users\gus", r"D:\Users\erin",
                 r"C:\Users\fay", r"C:\Users\hal",
                 r"C:\Users\ALICE~1",  # a short name, which only ntfs-3g shows
                 r"C:\Users\twin"]  # two that differ only in case
        alice = [r"C:\USERS\Alice", "C:\\Users\\alice. ", "C:/Users/alice"]  # Windows reaches alice's folder by each
        self.lay_out(profiles={ALICE[:-4] + str(2000 + i): folder
                               for i, folder in enumerate(named + alice + [r"C:\Users\frank"])})
        (self.root / "Users/twin").mkdir()
        (self.root / "Users/TWIN").mkdir()
        (self.root / "Users/dave").mkdir()
        (self.root / "Users/dave/AppData").symlink_to(os.path.relpath(outside / "data/AppData", self.root / "Users/dave"))
        (self.root / "Users/gus" / VISTA_CLASSES).parent.mkdir(parents=True)
        (self.root / "Users/gus" / VISTA_CLASSES).symlink_to(outside / "system-file")
        for user, damage in (("fay", {8: 6, 508: 6}), ("hal", {0: 1})):  # dirty, and no hive at all
            write_hive(self.root / "Users" / user / VISTA_CLASSES, {".exe": {"": sz("evilfile")}})
            flip(self.root / "Users" / user / VISTA_CLASSES, damage)
        write_hive(self.root / "Users/frank" / VISTA_CLASSES, {})  # frank's classes are reached, his NTUSER.DAT not
        (self.root / "Users/frank/NTUSER.DAT").symlink_to(outside / "system-file")
        before, unsound = files(outside), files(self.root / "Users/fay") | files(self.root / "Users/hal")
        code, log = self.run_offline("--yes")
        self.assertEqual(code, 2, log)
        self.assertNotIn(".exe", read_hive(self.alice))  # repaired once, though named twice
        self.assertNotIn(".exe", read_hive(self.bob))
        self.assertEqual(read_hive(self.software)["classes\\.exe"][""], sz("exefile"))
        self.assertEqual(log.count(r"User profile C:\Users\alice:"), 1)  # repaired once, however named
        for folder in alice:  # each name of her profile gets its line, and nothing is repaired twice
            self.assertIn("User profile %s:\n  - Its classes hive: %s is the same file as that of user profile C:\\Users\\"
                          "alice, and is repaired there.\n  - Its user hive: %s is the same file as that of user profile "
                          "C:\\Users\\alice, and is repaired there.\n\n" % (folder, self.alice, self.alice_user), log)
        self.assertFalse(backup(self.alice, "-2").exists())
        for folder in named:
            self.assertIn("User profile %s:\n  * Its classes hive was not repaired: " % folder, log)
        self.assertIn("\nUser profile C:\\Users\\carol (%s): no folder: nothing to repair.\n\n" % CAROL, log)
        self.assertIn("Log on to that Windows as this user and off again", log)
        self.assertEqual(files(self.root / "Users/fay") | files(self.root / "Users/hal"), unsound)
        self.assertIn("User profile C:\\Users\\frank:\n  * Its user hive was not repaired: %s is a link, which is not "
                      "followed!\n" % (self.root / "Users/frank/NTUSER.DAT"), log)
        self.assertEqual(files(outside), before)
        self.assertTrue((self.root / "Users/dave/AppData").is_symlink() and (self.root / "Users/gus" / VISTA_CLASSES).is_symlink())

    def test_a_hive_file_of_two_profiles_is_repaired_once_under_every_name(self):
        for name, shared, line, code in (
                ("bob's classes a hard link of alice's", lambda: self.alice,
                 "  - Its classes hive: %s is the same file as that of user profile C:\\Users\\alice, and is repaired there.\n", 0),
                ("bob's classes a hard link of alice's NTUSER.DAT", lambda: self.alice_user,
                 "  * Its classes hive was not repaired: %s is the same file as the NTUSER.DAT of user profile C:\\Users\\alice, "
                 "which is repaired as another kind of registry file!\n", 2)):
            with self.subTest(name):
                self.lay_out()
                self.bob.unlink()
                os.link(shared(), self.bob)
                bob_user = self.root / "Users/bob/NTUSER.DAT"
                write_hive(bob_user, {FILE_EXTS + r"\UserChoice": {"ProgId": sz("bobfile")}})
                code_run, log = self.run_offline("--yes")
                self.assertEqual(code_run, code, log)
                self.assertIn("User profile C:\\Users\\bob:\n" + line % self.bob, log)
                self.assertIn("HKCU\\%s\\UserChoice exists and is set to bobfile!" % FILE_EXTS, log)  # his other hive
                self.assertNotIn(FILE_EXTS.lower() + "\\userchoice", read_hive(bob_user))
                # Both names are still one file, the repaired one, backed up once.
                self.assertTrue(os.path.samefile(shared(), self.bob))
                self.assertNotIn(".exe", read_hive(self.bob))
                self.assertFalse(backup(self.bob).exists())

    def test_a_failed_write_back_leaves_the_hive_and_a_later_run_makes_a_new_backup(self):
        self.lay_out()
        original = self.software.read_bytes()
        for hive in (self.software, self.alice_user):  # a folder where the new file goes
            hive.with_name(hive.name + ".morvane-new").mkdir()
        code, log = self.run_offline("--yes")
        self.assertEqual(code, 2, log)
        machine = log[log.index("Machine-wide:"):log.index("User profile")]
        self.assertTrue(machine.startswith("Machine-wide:\n  - NONE of the changes below were made"), machine)
        self.assertIn("  - NOT written: %s is as it was: it could not be written back (File exists).\n"
                      "  - None of the changes above were made.\n" % self.software, machine)
        self.assertIn("User profile C:\\Users\\alice:\n  - NOT ALL of the changes below were made", log)
        undo = read_text(self.root / "Morvane/Morvane-undo.reg")  # only alice's classes, which were written
        self.assertEqual([name in undo for name in ("HKEY_LOCAL_MACHINE", "HKEY_USERS\\%s\\" % ALICE,
                                                     "HKEY_USERS\\%s_Classes\\" % ALICE)], [False, False, True])
        self.assertTrue(log.endswith("The log file names each one: %s/Morvane/Morvane.txt (C:\\Morvane\\Morvane.txt"
                                     " on Windows).\n" % self.root), log[-300:])
        self.assertEqual(self.software.read_bytes(), original)
        # Its backup, a second name of it, taken back: a later run must not take the hive for one of two names.
        self.assertEqual((self.software.stat().st_nlink, backup(self.software).exists()), (1, False))
        for hive in (self.software, self.alice_user):
            hive.with_name(hive.name + ".morvane-new").rmdir()
        first = backup(self.alice).read_bytes()
        write_hive(self.alice, {".exe": {"": sz("evilagain")}})
        damaged, inode = self.alice.read_bytes(), self.alice.stat().st_ino
        code, log = self.run_offline("--yes")
        self.assertEqual(code, 0, log)
        self.assertEqual((backup(self.alice).read_bytes(), backup(self.alice, "-2").read_bytes()), (first, damaged))
        # The backup is the original file itself, under its new name; the hive a new file of one name.
        self.assertEqual((backup(self.alice, "-2").stat().st_ino, self.alice.stat().st_nlink), (inode, 1))

    def test_a_part_not_written_says_none_or_not_all_of_its_changes_were_made(self):
        """Counted against the hives of the part that were to change: one with nothing to change was not left out."""
        for name, user_keys, words in (("NTUSER.DAT with nothing to change", {r"Software\Kept": {"": sz("kept")}}, "NONE"),
                                       ("NTUSER.DAT changed", USER_KEYS, "NOT ALL")):
            with self.subTest(name):
                self.lay_out()
                write_hive(self.alice_user, user_keys)
                self.alice.with_name(self.alice.name + ".morvane-new").mkdir()  # where the new classes hive goes
                code, log = self.run_offline("--yes")
                self.assertEqual(code, 2, log)
                self.assertIn("User profile C:\\Users\\alice:\n  - %s of the changes below were made" % words, log)

    def test_the_room_asked_for_is_that_of_the_hives_that_will_change(self):
        """A backup and a new copy of each hive that will change, and the record: with less, the run and the dry
        run refuse, naming the volume and those hives alone; with that, they run, however large a hive with
        nothing to change."""
        big = {"v%d" % i: (BINARY, bytes(16000)) for i in range(200)}
        for room, code in ((1.5, 1), (2, 0)):  # times the size of the hives that will change, and 1 MiB more
            with self.subTest(room=room):
                self.lay_out(root=self.mounted("tmpfs", "-o", "size=40m"))
                write_hive(self.software, {**self.machine, "Big": big})
                idle = self.root / "Users/bob/NTUSER.DAT"  # bob has no Explorer choice or policy to remove
                write_hive(idle, {r"Software\Big": big})
                changing = sum(hive.stat().st_size for hive in (self.software, self.alice, self.bob, self.alice_user))
                system = os.statvfs(self.root)
                with open(self.root / "filler", "wb") as filler:
                    os.posix_fallocate(filler.fileno(), 0, system.f_bavail * system.f_frsize - int(room * changing) - (1 << 20))
                before = files(self.root)
                for args in (["--dry-run"], ["--yes"]):
                    run, log = self.run_offline(*args)
                    self.assertEqual(run, code, log)
                if code == 0:
                    self.assertNotIn(".exe", read_hive(self.alice))
                    continue
                self.assertIn("There is too little free space on the volume mounted at %s: " % self.root, log)
                self.assertIn(" MiB is free, and the run needs ", log)
                self.assertIn(str(self.software), log)
                self.assertNotIn(str(idle), log)
                self.assertEqual(files(self.root), before)

    def test_no_hive_is_replaced_unless_its_undo_records_are_on_disk(self):
        self.lay_out()
        write_hive(self.alice, {".exe": {"": sz("evilfile"), "large": (BINARY, bytes(30000))}})  # a long record
        before, undo = self.alice.read_bytes(), self.root / "undo.reg"
        # The run's files may not grow past 100,000 bytes: the undo file fills up at alice's records.
        code, log = self.run_offline("--yes", "--undo", undo,
                                     preexec=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000)))
        self.assertEqual(code, 2, log)
        self.assertIn("is as it was: the undo file could not be written.", log)
        self.assertEqual((self.alice.read_bytes(), read_hive(self.software)["classes\\.exe"][""]), (before, sz("exefile")))
        text = read_text(undo)  # cut back to its last whole record, and saying so
        self.assertTrue(text.endswith("\r\n\r\n; This file is incomplete: what follows could not be written, "
                                      "and the changes it would undo were not made.\r\n"), text[-1500:])
        code, out = self.run_offline("--yes", "--log", self.root / "x.txt", "--undo", self.root / "x.txt")
        self.assertIn("the log and the undo file would be one file", out)
        self.assertEqual((code, os.path.exists(self.root / "x.txt")), (1, False))

    def run_changing(self, change):
        """A run that, while it waits at its question, lets `change` act; its exit code and text."""
        run = subprocess.Popen([OFFLINE, self.target], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
        shown = b""
        while not shown.endswith(b"Continue? [y/N] "):
            ready, _, _ = select.select([run.stdout], [], [], 60)
            shown += os.read(run.stdout.fileno(), 4096) if ready else b""
            if not ready or run.poll() is not None:
                break
        change()
        out, _ = run.communicate(b"y\n", timeout=120)
        return run.returncode, (shown + out).decode()

    def test_a_hive_changed_during_the_run_is_not_written(self):
        def rewrite(hive):  # a byte of its last bin other, its size and time kept
            times = hive.stat()
            flip(hive, {hive.stat().st_size - 8: 1})
            os.utime(hive, ns=(times.st_atime_ns, times.st_mtime_ns))

        def replace(hive):  # another file put at its name
            write_hive(hive.with_name("other"), {".exe": {"": sz("otherfile")}})
            os.replace(hive.with_name("other"), hive)

        for name, hive_name, change, undo_name in (
                ("truncated", "alice", lambda hive: os.truncate(hive, 4096), "HKEY_USERS\\%s_Classes\\" % ALICE),
                ("rewritten in place", "alice", rewrite, "HKEY_USERS\\%s_Classes\\" % ALICE),
                ("replaced", "alice", replace, "HKEY_USERS\\%s_Classes\\" % ALICE),
                ("SOFTWARE rewritten in place", "software", rewrite, "HKEY_LOCAL_MACHINE\\"),
                ("NTUSER.DAT replaced", "alice_user", replace, "HKEY_USERS\\%s\\" % ALICE)):
            with self.subTest(name):
                self.lay_out()
                hive = getattr(self, hive_name)
                left = []
                code, log = self.run_changing(lambda: (change(hive), left.append(hive.read_bytes())))
                self.assertEqual(code, 2, log)
                self.assertIn("  - NOT written: %s: it changed during the run (another program wrote it, or put another "
                              "file in its place). Run morvane-offline again once nothing else uses the volume.\n"
                              % hive, log)
                # What the other program left stays, with no backup of it; the other hives are repaired.
                self.assertEqual((hive.read_bytes(), backup(hive).exists()), (left[0], False))
                self.assertNotIn(undo_name, read_text(self.root / "Morvane/Morvane-undo.reg"))
                if hive != self.alice:
                    self.assertNotIn(".exe", read_hive(self.alice))
                if hive != self.software:
                    self.assertEqual(read_hive(self.software)["classes\\.exe"][""], sz("exefile"))

    def test_under_little_memory_the_run_ends_with_its_lines(self):
        # The sanitizers reserve more address space than any limit leaves: the release build runs here, if built.
        program = pathlib.Path(OFFLINE)
        if b"__asan_init" in program.read_bytes():
            program = program.parents[1] / "release/morvane-offline"
        if not program.exists():
            self.skipTest("morvane-offline built without the sanitizers is needed (cmake --preset release)")
        large = {"v%d" % i: (BINARY, bytes(range(256)) * 4096 * 4) for i in range(4)}  # 4 MiB each
        codes = set()
        for limit in (80, 120, 160, 200, 400):  # MiB of address space
            with self.subTest(limit=limit):
                self.lay_out()
                self.program = program
                write_hive(self.alice, {".exe": {"": sz("evilfile")}, "evilfile": large}, 5)
                before = self.alice.read_bytes()
                code, log = self.run_offline("--yes", preexec=lambda: resource.setrlimit(
                    resource.RLIMIT_AS, (limit << 20, limit << 20)))
                self.assertIn(code, (0, 2), log)  # never a signal
                codes.add(code)
                self.assertIn("Program finished at: ", log)
                if code == 0:
                    self.assertNotIn("evilfile", read_hive(self.alice))
                elif "evilfile" in read_hive(self.alice):
                    self.assertEqual(self.alice.read_bytes(), before)
                    self.assertIn(str(self.alice), log)
                # Its undo file applied under the same limit: applied, refused or not whole, never a signal.
                if (self.root / "Morvane/Morvane-undo.reg").exists():
                    code, out = self.run_offline("--yes", "--apply-undo", preexec=lambda: resource.setrlimit(
                        resource.RLIMIT_AS, (limit << 20, limit << 20)))
                    self.assertIn(code, (0, 1, 2), out)
        self.assertEqual(codes, {0, 2})  # the limits reach from too little to enough

    def test_on_ntfs_the_replaced_hive_keeps_its_security_descriptor_and_attributes(self):
        if not (shutil.which("mkntfs") and shutil.which("ntfs-3g") and os.path.exists("/dev/fuse")):
            self.skipTest("no mkntfs, ntfs-3g or /dev/fuse here")
        image = pathlib.Path(tempfile.mkdtemp(prefix="morvane-image-")) / "ntfs.img"
        self.addCleanup(shutil.rmtree, image.parent)
        with open(image, "wb") as file:
            file.truncate(16 << 20)
        subprocess.run(["mkntfs", "-F", "-f", "-q", image], check=True, capture_output=True)
        self.lay_out(root=self.mounted("ntfs", "ntfs-3g", image))
        attributes = ("system.ntfs_acl", "system.ntfs_attrib_be")
        # Owner Administrators and no DACL, and hidden besides archive: what no new file gets.
        os.setxattr(self.alice, attributes[0], DESCRIPTOR)
        os.setxattr(self.alice, attributes[1], (0x22).to_bytes(4, "big"))
        before = {name: os.getxattr(self.alice, name) for name in attributes}
        code, log = self.run_offline("--yes")
        self.assertEqual(code, 0, log)
        self.assertNotIn(".exe", read_hive(self.alice))
        self.assertEqual({name: os.getxattr(self.alice, name) for name in attributes}, before)
        self.assertIn('reg import "C:\\Morvane\\Morvane-undo.reg"', self.record())

    def test_usage_goes_to_stdout_only_when_asked_for(self):
        for args, code, usage, other, first in (
                (["--help"], 0, "stdout", "stderr", "usage: morvane-offline "),
                (["-h", "--force"], 0, "stdout", "stderr", "usage: morvane-offline "),
                (["--version"], 0, "stdout", "stderr", "morvane-offline 1."),
                (["-V"], 0, "stdout", "stderr", "morvane-offline 1.")):
            with self.subTest(args[0]):
                run = subprocess.run([OFFLINE, *args], capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, code)
                self.assertTrue(getattr(run, usage).startswith(first), run)
                self.assertEqual(getattr(run, other), "")

    def test_a_wrong_command_line_is_one_line_and_where_to_read_more(self):
        for args, problem in (
                (["--force", "/mnt"], "unknown option '--force'"),
                (["--force=yes", "/mnt"], "unknown option '--force'"),
                (["-yx", "/mnt"], "unknown option '-x'"),
                (["--yes"], "no WINDOWS_ROOT given"),
                (["/mnt", "/media"], 'one WINDOWS_ROOT only: "/mnt", then "/media"'),
                (["--yes=no", "/mnt"], "option '--yes' takes no value"),
                (["/mnt", "--log"], "option '--log' needs a FILE after it"),
                (["--undo=", "/mnt"], "option '--undo' needs a FILE after it"),
                (["-a"], "option '-a' needs an IMAGE after it"),
                (["--root", "/dev/sda2", "/mnt"], "--root is for disk images and needs -a IMAGE (a mounted volume is "
                                                  "named as WINDOWS_ROOT alone)"),
                (["--format=raw", "/mnt"], "--format is for disk images and needs -a IMAGE (a mounted volume is "
                                           "named as WINDOWS_ROOT alone)"),
                (["--other-file", "base.qcow2", "-a", "top.qcow2"],
                 "--other-file is for an image whose format is named with --format"),
                (["--apply-undo", "u.reg", "/mnt"], 'one WINDOWS_ROOT only: "u.reg", then "/mnt" (the undo file to apply '
                                                    'is named as --apply-undo=FILE)'),
                (["--apply-undo=", "/mnt"], "option '--apply-undo' needs a FILE after it"),
                (["--apply-undo", "-a", "disk.img"], "--apply-undo is for a mounted volume, named as WINDOWS_ROOT, not "
                                                     "for -a IMAGE"),
                (["--apply-undo", "--undo", "u.reg", "/mnt"], "--log and --undo name the record of a repair; the undo "
                                                              "file to apply is named as --apply-undo=FILE")):
            with self.subTest(args):
                run = subprocess.run([OFFLINE, *args], capture_output=True, text=True, timeout=60)
                self.assertEqual((run.returncode, run.stdout, run.stderr),
                                 (1, "", "morvane-offline: %s\nTry 'morvane-offline --help'.\n" % problem))

    def test_the_restore_commands_pasted_into_a_shell_run_nothing_else(self):
        folder = pathlib.Path(tempfile.mkdtemp(prefix="morvane-restore-"))
        self.addCleanup(shutil.rmtree, folder)
        (folder / "volume'$(touch pwned)`touch pwned2`").mkdir()
        (folder / "shell").mkdir()
        self.lay_out(root=folder / "volume'$(touch pwned)`touch pwned2`")
        before = {hive: hive.read_bytes() for hive in (self.software, self.alice)}
        code, out = self.run_offline("--yes")
        self.assertEqual(code, 0, out)
        commands = [line for line in out.splitlines() if line.startswith("  cp '")]
        self.assertEqual(len(commands), 4, out)
        for command in commands:
            subprocess.run(["sh", "-c", command], cwd=folder / "shell", check=True, timeout=60)
        self.assertEqual(list((folder / "shell").iterdir()), [])
        self.assertEqual({hive: hive.read_bytes() for hive in before}, before)

    def test_each_form_of_an_option_is_taken(self):
        log, undo = pathlib.Path("log.txt"), pathlib.Path("undo.reg")  # in the folder the run starts in
        for args, dry_run in (
                (["-n"], True), (["--dry-run"], True), (["-yn"], True), (["--yes", "-n"], True),
                (["-y"], False), (["--yes", "--log", log], False), (["--log=%s" % log, "-y", "--undo=%s" % undo], False),
                (["--undo", undo, "--yes", "--"], False)):  # after --, a root that begins with "-"
            with self.subTest(args):
                folder = pathlib.Path(tempfile.mkdtemp(prefix="morvane-options-"))
                self.addCleanup(shutil.rmtree, folder)
                (folder / "-volume").mkdir()
                self.lay_out(root=folder / "-volume")
                self.target = "-volume" if "--" in args else self.root
                code, out = self.run_offline(*args, cwd=folder)
                self.assertEqual(code, 0, out)
                self.assertEqual((".exe" in read_hive(self.alice), "Dry run: nothing was changed." in out),
                                 (dry_run, dry_run))
                self.assertEqual([(folder / name).is_file() for name in (log, undo)],
                                 [log in args or "--log=%s" % log in args, undo in args or "--undo=%s" % undo in args])

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
