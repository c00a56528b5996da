"""End to end through libguestfs' appliance: morvane-offline -a repairs the Windows inside real NTFS images
(raw and qcow2) that the test makes, and ntfs-3g's own tools read the result out of the image, without the
appliance.

    image_test.py MORVANE_OFFLINE
"""
import hashlib
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path[:0] = [str(pathlib.Path(__file__).parent.parent / "offline")]
from hives import write_hive  # noqa: E402

OFFLINE = sys.argv[1]
SZ, EXPAND_SZ, DWORD = 1, 2, 4
CURRENT_VERSION = r"Microsoft\Windows NT\CurrentVersion"
SOFTWARE, ALICE = "/Windows/System32/config/SOFTWARE", "/Users/alice/AppData/Local/Microsoft/Windows/UsrClass.dat"
BOB = ALICE.replace("alice", "bob")  # named in the profile list with a trailing dot, as Windows allows
# Owner and group SYSTEM, a DACL granting SYSTEM everything; and the hidden, system and archive attributes:
# not what ntfs-3g gives a new file, so a replaced hive that did not keep them shows it.
DESCRIPTOR = "0x01000480140000002000000000000000" "2c000000010100000000000512000000" \
             "01010000000000051200000002001c000100000000001400ff011f00010100000000000512000000"
ATTRIBUTES = "0x00000026"


def sz(text, kind=SZ):
    return kind, (text + "\0").encode("utf-16-le")


def lay_out(root, dirty=False):
    """A Windows 7 tree: SOFTWARE's .exe class damaged, alice's override of .exe; a cmd.exe that inspection
    takes for 64-bit Windows."""
    write_hive(root / SOFTWARE[1:], {
        CURRENT_VERSION: {"CurrentVersion": sz("6.1"), "CurrentBuildNumber": sz("7601"),
                          "ProductName": sz("Windows 7 Professional"), "SystemRoot": sz(r"C:\Windows")},
        CURRENT_VERSION + r"\ProfileList\S-1-5-21-7-7-7-1001": {"ProfileImagePath": sz(r"%SystemDrive%\Users\alice", EXPAND_SZ)},
        CURRENT_VERSION + r"\ProfileList\S-1-5-21-7-7-7-1002": {"ProfileImagePath": sz(r"%SystemDrive%\Users\bob.", EXPAND_SZ)},
        r"Classes\.exe": {"": sz("badfile")}})
    write_hive(root / "Windows/System32/config/SYSTEM", {
        "Select": {"Current": (DWORD, b"\x01\0\0\0")},
        r"ControlSet001\Control\ProductOptions": {"ProductType": sz("WinNT")},
        r"ControlSet001\Control\Session Manager\Environment": {"PROCESSOR_ARCHITECTURE": sz("AMD64")}})
    for profile in (ALICE, BOB):
        write_hive(root / profile[1:], {".exe": {"": sz("evilfile")}})
    if dirty:  # SOFTWARE's second sequence number made 2, the XOR checksum kept right
        data = bytearray((root / SOFTWARE[1:]).read_bytes())
        data[8] ^= 3
        data[508] ^= 3
        (root / SOFTWARE[1:]).write_bytes(data)
    (root / "Windows/System32/cmd.exe").write_bytes(  # MZ, PE, x86-64, a PE32+ console program
        b"MZ" + bytes(58) + (64).to_bytes(4, "little") + b"PE\0\0" + bytes.fromhex("6486") + bytes(14) +
        bytes.fromhex("f0002200" "0b02") + bytes(66) + bytes.fromhex("0300") + bytes(170))


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


class ImageRepair(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = pathlib.Path(tempfile.mkdtemp(prefix="morvane-image-test-"))
        cls.addClassCleanup(shutil.rmtree, cls.folder)
        cls.raw, cls.qcow2, cls.dirty, cls.empty = (cls.folder / name for name in
                                                    ("windows.raw", "windows.qcow2", "dirty.raw", "empty.raw"))
        lay_out(cls.folder / "windows")
        lay_out(cls.folder / "dirty", dirty=True)
        for image in (cls.raw, cls.dirty, cls.empty):
            subprocess.run(["truncate", "-s", "48M", image], check=True)
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", cls.qcow2, "48M"], check=True)
        script = ["add %s format:%s" % (image, "qcow2" if image == cls.qcow2 else "raw")
                  for image in (cls.raw, cls.qcow2, cls.dirty, cls.empty)] + ["run"]
        for device, tree in (("/dev/sda", "windows"), ("/dev/sdb", "windows"), ("/dev/sdc", "dirty"), ("/dev/sdd", None)):
            script += ["mkfs ntfs %s" % device]
            if tree:
                script += ["mount %s /" % device, "copy-in %s/Windows %s/Users /" % ((cls.folder / tree,) * 2)]
                script += ['debug sh "setfattr -h -n system.ntfs_%s -v %s $root%s"' % (name, value, path)
                           for path in (SOFTWARE, ALICE) for name, value in (("acl", DESCRIPTOR), ("attrib_be", ATTRIBUTES))]
                script += ["umount /"]
        # Without KVM where it is there but does not start, as the program itself does.
        if subprocess.run(["guestfish"], input="\n".join(script), text=True, timeout=600).returncode != 0:
            subprocess.run(["guestfish"], input="\n".join(script), text=True, check=True, timeout=600,
                           env={**os.environ, "LIBGUESTFS_BACKEND_SETTINGS": "force_tcg"})

    def run_offline(self, *args, log=True):
        run = subprocess.run([OFFLINE, *(["--log", self.folder / "Morvane.txt"] if log else []), *args], input="",
                             capture_output=True, text=True, timeout=600)
        return run.returncode, run.stdout + run.stderr

    def files(self, image, *paths):
        """{path: (bytes, ntfsinfo's attributes and security id)} of files in the image, read by ntfs-3g's tools."""
        if image.suffix == ".qcow2":
            raw = self.folder / "converted.raw"
            subprocess.run(["qemu-img", "convert", "-O", "raw", image, raw], check=True)
            image = raw
        return {path: (subprocess.run(["ntfscat", image, path], capture_output=True, check=True).stdout,
                       [line.strip() for line in subprocess.run(["ntfsinfo", "-F", path, image], capture_output=True,
                                                                text=True, check=True).stdout.splitlines()
                        if line.strip().startswith(("File attributes", "Security ID"))][:2])
                for path in paths}

    def test_a_qcow2_image_is_repaired_and_a_second_run_writes_nothing(self):
        before = self.files(self.qcow2, SOFTWARE, ALICE)
        code, out = self.run_offline("--yes", "-a", self.qcow2)
        self.assertEqual(code, 0, out)
        after = self.files(self.qcow2, SOFTWARE, ALICE, BOB, SOFTWARE + ".morvane-backup", ALICE + ".morvane-backup")
        for hive in (SOFTWARE, ALICE):
            self.assertEqual(after[hive + ".morvane-backup"][0], before[hive][0])
            self.assertEqual(after[hive][1], before[hive][1])  # the same descriptor and attributes
            self.assertIn("  %s: replaced, its security descriptor and attributes kept" % hive, out)
        self.assertTrue((self.folder / "Morvane.txt").read_bytes().decode("utf-16-le").endswith(
            "Shutting down the appliance ...\r\nThe changes are in the image.\r\n"))
        for hive, key, value in ((SOFTWARE, r"/Classes/.exe", "exefile"), (ALICE, "/.exe", None), (BOB, "/.exe", None)):
            (self.folder / "hive").write_bytes(after[hive][0])
            listed = subprocess.run(["reglookup", "-H", "-p", key, self.folder / "hive"], capture_output=True,
                                    text=True).stdout
            self.assertEqual("/.exe/,SZ,%s," % value in listed if value else ".exe" in listed, bool(value), listed)
        repaired = digest(self.qcow2)
        code, out = self.run_offline("--yes", "-a", self.qcow2)
        self.assertEqual((code, digest(self.qcow2)), (0, repaired), out)
        self.assertIn("Nothing was written into the image.", out)

    def test_refusals_and_a_dry_run_leave_the_images_as_they_were(self):
        cases = [
            ("dry run", ["--dry-run", "-a", self.raw], None, "Nothing was written into the image."),
            ("dirty hive", ["--yes", "-a", self.dirty], 1, "its two sequence numbers differ"),
            ("no Windows", ["--yes", "-a", self.empty], 1, "No Windows installation was found on %s." % self.empty),
            ("several", ["--yes", "-a", self.raw, "-a", self.dirty], 1,
             "Several Windows installations were found:\n  /dev/sda  Windows 7 Professional (/Windows), on %s\n"
             "  /dev/sdb  Windows 7 Professional (/Windows), on %s\nName the one to repair with --root DEVICE."
             % (self.raw, self.dirty)),
        ]
        # A disk of the machine: the raw image behind a loop device, read as a disk is.
        disk = subprocess.run(["losetup", "--find", "--show", "--read-only", self.raw], capture_output=True,
                              text=True)
        if disk.returncode == 0:
            self.addCleanup(subprocess.run, ["losetup", "--detach", disk.stdout.strip()])
            cases.append(("disk, dry run", ["--dry-run", "-a", disk.stdout.strip()], 0,
                          "Windows 7 Professional found on /dev/sda, on %s." % disk.stdout.strip()))
        else:
            print("The disk case is skipped: no loop device (%s)" % disk.stderr.strip(), file=sys.stderr)
        for name, args, expected, message in cases:
            with self.subTest(name):
                images = {image: digest(image) for image in (self.raw, self.dirty, self.empty)}
                code, out = self.run_offline(*args)
                self.assertIn(message, out)
                if expected is not None:
                    self.assertEqual(code, expected, out)
                self.assertEqual({image: digest(image) for image in images}, images)

    def test_an_image_in_use_is_refused_and_the_chosen_root_of_several_repaired(self):
        machine = subprocess.Popen(["qemu-system-x86_64", "-S", "-display", "none", "-machine", "accel=tcg",
                                    "-drive", "file=%s,format=raw,if=virtio" % self.dirty])
        try:
            before = digest(self.dirty)
            for _ in range(50):  # until qemu holds its locks
                code, out = self.run_offline("--yes", "-a", self.dirty)
                if "in use" in out:
                    break
        finally:
            machine.send_signal(signal.SIGTERM)
            machine.wait()
        self.assertIn("%s is in use by another program, most likely a running virtual machine" % self.dirty, out)
        self.assertEqual((code, digest(self.dirty)), (1, before))
        # With its record in the image, whose log ends with what reached the image.
        code, out = self.run_offline("--yes", "--root", "/dev/sda", "-a", self.raw, "-a", self.dirty, log=False)
        self.assertEqual(code, 0, out)
        self.assertIn("Windows 7 Professional found on /dev/sda, on %s." % self.raw, out)
        replaced = "  %s: replaced, its security descriptor and attributes kept\n" % SOFTWARE
        self.assertIn(replaced, out)
        self.assertEqual(digest(self.dirty), before)
        record = self.files(self.raw, "/Morvane/Morvane.txt")["/Morvane/Morvane.txt"][0].decode("utf-16-le")
        self.assertIn("\r\nWritten into the image:\r\n", record)
        self.assertIn(replaced.replace("\n", "\r\n"), record.split("Written into the image:")[1])

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
