"""End to end through libguestfs' appliance: morvane-offline -a repairs the Windows inside real NTFS images
(raw and qcow2) that the test makes, and ntfs-3g's own tools read the result out of the image, without the
appliance.

    image_test.py MORVANE_OFFLINE
"""
import hashlib
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path[:0] = [str(pathlib.Path(__file__).parent.parent / "offline")]
from hives import write_hive  # noqa: E402

OFFLINE = sys.argv[1] if __name__ == "__main__" else None
SZ, EXPAND_SZ, DWORD = 1, 2, 4
CURRENT_VERSION = r"Microsoft\Windows NT\CurrentVersion"
SOFTWARE, ALICE = "/Windows/System32/config/SOFTWARE", "/Users/alice/AppData/Local/Microsoft/Windows/UsrClass.dat"
BOB = ALICE.replace("alice", "bob")  # named in the profile list with a trailing dot, as Windows allows
# A profile folder whose name a shell would run: a printed command must only name it.
CAROL_FOLDER = "carol'$(touch pwned)`touch pwned2`"
CAROL = ALICE.replace("alice", CAROL_FOLDER)
# A profile named in the profile list by its folder's short name, which ntfs-3g shows.
DAVID, DAVID_SHORT = ALICE.replace("alice", "david-long-name"), "DAVID-~1"
# A profile folder whose name is longer in UTF-8 than this machine's 255 bytes (90 characters of 3 bytes; NTFS
# takes 255 characters): on the qcow2 image only, the others listing it without its folder.
ERIN_FOLDER = "erin-" + "\u20ac" * 90
ERIN = ALICE.replace("alice", ERIN_FOLDER)
WHOLE = "%s (a file system on the whole disk)"
# Owner and group SYSTEM, a DACL granting SYSTEM everything; and the hidden, system and archive attributes:
# not what ntfs-3g gives a new file, so a replaced hive that did not keep them shows it.
DESCRIPTOR = "0x01000480140000002000000000000000" "2c000000010100000000000512000000" \
             "01010000000000051200000002001c000100000000001400ff011f00010100000000000512000000"
ATTRIBUTES = "0x00000026"


def sz(text, kind=SZ):
    return kind, (text + "\0").encode("utf-16-le")


def lay_out(root, dirty=False, profiles=True, large=False):
    """A Windows 7 tree: SOFTWARE's .exe class damaged, alice's override of .exe and those of the other
    profiles (without `profiles`, alice's only); a cmd.exe that inspection takes for 64-bit Windows. With
    `large`, SOFTWARE holds about 5 MB more, so that it goes to and from the appliance in several pieces."""
    others = {
        CURRENT_VERSION + r"\ProfileList\S-1-5-21-7-7-7-1002": {"ProfileImagePath": sz(r"%SystemDrive%\Users\bob.", EXPAND_SZ)},
        CURRENT_VERSION + r"\ProfileList\S-1-5-21-7-7-7-1003": {"ProfileImagePath": sz("%SystemDrive%\\Users\\" + CAROL_FOLDER, EXPAND_SZ)},
        CURRENT_VERSION + r"\ProfileList\S-1-5-21-7-7-7-1004": {"ProfileImagePath": sz("%SystemDrive%\\Users\\" + DAVID_SHORT, EXPAND_SZ)},
        CURRENT_VERSION + r"\ProfileList\S-1-5-21-7-7-7-1005": {"ProfileImagePath": sz("%SystemDrive%\\Users\\" + ERIN_FOLDER, EXPAND_SZ)}}
    write_hive(root / SOFTWARE[1:], {
        CURRENT_VERSION: {"CurrentVersion": sz("6.1"), "CurrentBuildNumber": sz("7601"),
                          "ProductName": sz("Windows 7 Professional"), "SystemRoot": sz(r"C:\Windows")},
        CURRENT_VERSION + r"\ProfileList\S-1-5-21-7-7-7-1001": {"ProfileImagePath": sz(r"%SystemDrive%\Users\alice", EXPAND_SZ)},
        **(others if profiles else {}),
        **({r"Microsoft\Filler\%04d" % i: {"Data": (3, bytes([i % 251]) * 1000)} for i in range(4500)} if large else {}),
        r"Classes\.exe": {"": sz("badfile")}})
    write_hive(root / "Windows/System32/config/SYSTEM", {
        "Select": {"Current": (DWORD, b"\x01\0\0\0")},
        r"ControlSet001\Control\ProductOptions": {"ProductType": sz("WinNT")},
        r"ControlSet001\Control\Session Manager\Environment": {"PROCESSOR_ARCHITECTURE": sz("AMD64")}})
    for profile in (ALICE, BOB, CAROL, DAVID) if profiles else (ALICE,):
        write_hive(root / profile[1:], {".exe": {"": sz("evilfile")}})
    if dirty:  # SOFTWARE's second sequence number made 2, the XOR checksum kept right
        data = bytearray((root / SOFTWARE[1:]).read_bytes())
        data[8] ^= 3
        data[508] ^= 3
        (root / SOFTWARE[1:]).write_bytes(data)
    (root / "Windows/System32/cmd.exe").write_bytes(  # MZ, PE, x86-64, a PE32+ console program
        b"MZ" + bytes(58) + (64).to_bytes(4, "little") + b"PE\0\0" + bytes.fromhex("6486") + bytes(14) +
        bytes.fromhex("f0002200" "0b02") + bytes(66) + bytes.fromhex("0300") + bytes(170))


def volume_script(device, tree, erin=False, blocked=False):
    """guestfish's commands that make an NTFS volume on `device`, holding the tree laid out at `tree` (None:
    empty), SOFTWARE's and alice's hive given a descriptor and attributes, david's folder its short name; with
    `erin`, erin's profile, whose name this machine cannot hold, with a copy of alice's hive, and a second name of
    david's hive (so backed up as a copy); with `blocked`, a
    folder where bob's new hive would go."""
    script = ["mkfs ntfs %s" % device]
    if tree:
        script += ["mount %s /" % device, "copy-in %s/Windows %s/Users /" % (tree, tree)]
        script += ['debug sh "setfattr -h -n system.ntfs_%s -v %s $root%s"' % (name, value, path)
                   for path in (SOFTWARE, ALICE) for name, value in (("acl", DESCRIPTOR), ("attrib_be", ATTRIBUTES))]
        if (tree / DAVID[1:]).exists():
            script += ['debug sh "setfattr -h -n system.ntfs_dos_name -v %s $root/Users/david-long-name"' % DAVID_SHORT]
        if erin:
            script += ['mkdir-p "%s"' % os.path.dirname(ERIN), 'upload %s%s "%s"' % (tree, ALICE, ERIN)]
            script += ["ln %s %s.second" % (DAVID, DAVID)]
        if blocked:
            script += ["mkdir %s.morvane-new" % BOB]
        script += ["umount /"]
    return script


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


class ImageRepair(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = pathlib.Path(tempfile.mkdtemp(prefix="morvane-image-test-"))
        cls.addClassCleanup(shutil.rmtree, cls.folder)
        cls.raw, cls.qcow2, cls.dirty, cls.empty = (cls.folder / name for name in
                                                    ("windows.raw", "windows.qcow2", "dirty.raw", "empty.raw"))
        lay_out(cls.folder / "windows", large=True)
        lay_out(cls.folder / "dirty", dirty=True)
        for image in (cls.raw, cls.dirty, cls.empty):
            subprocess.run(["truncate", "-s", "48M", image], check=True)
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", cls.qcow2, "48M"], check=True)
        script = ["add %s format:%s" % (image, "qcow2" if image == cls.qcow2 else "raw")
                  for image in (cls.raw, cls.qcow2, cls.dirty, cls.empty)] + ["run"]
        for device, tree in (("/dev/sda", "windows"), ("/dev/sdb", "windows"), ("/dev/sdc", "dirty"), ("/dev/sdd", None)):
            script += volume_script(device, cls.folder / tree if tree else None, erin=device == "/dev/sdb",
                                    blocked=device == "/dev/sda")
        # Without KVM where it is there but does not start, as the program itself does.
        cls.env = dict(os.environ)
        if subprocess.run(["guestfish"], input="\n".join(script), text=True, timeout=600).returncode != 0:
            cls.env["LIBGUESTFS_BACKEND_SETTINGS"] = "force_tcg"
            subprocess.run(["guestfish"], input="\n".join(script), text=True, check=True, timeout=600, env=cls.env)
        # Beside the raw image, copies of it: one killed during the writing, one nearly full, one hibernated.
        cls.killed, cls.full, cls.hibernated = (cls.folder / name for name in ("killed.raw", "full.raw", "hibernated.raw"))
        for copy in cls.killed, cls.full, cls.hibernated:
            shutil.copyfile(cls.raw, copy)
        (cls.folder / "hiberfil.sys").write_bytes(b"hibr" + bytes(4092))
        subprocess.run(["ntfscp", cls.hibernated, cls.folder / "hiberfil.sys", "/hiberfil.sys"], check=True,
                       capture_output=True)
        (cls.folder / "filler").write_bytes(b"x")
        subprocess.run(["ntfscp", cls.full, cls.folder / "filler", "/filler"], check=True, capture_output=True)
        free = int(re.search(r"Free Clusters: (\d+)", subprocess.run(["ntfsinfo", "-m", cls.full], capture_output=True,
                                                                     text=True).stdout).group(1)) * 4096
        subprocess.run(["ntfsfallocate", "-l", str(free - (1 << 20)), cls.full, "/filler"], check=True,
                       capture_output=True)
        # The copies go here, to be seen named nowhere and left nowhere.
        cls.copies = cls.folder / "copies"
        cls.copies.mkdir()

    def copies_env(self):
        """The copies in a folder of the test's; libguestfs' own files where they are."""
        return {**os.environ, "TMPDIR": str(self.copies), "LIBGUESTFS_CACHEDIR": "/var/tmp", "LIBGUESTFS_TMPDIR": "/tmp"}

    def run_offline(self, *args, log=True):
        run = subprocess.run([OFFLINE, *(["--log", self.folder / "Morvane.txt"] if log else []), *args], input="",
                             capture_output=True, text=True, timeout=600, env=self.copies_env())
        self.assertNotIn(str(self.copies), run.stdout + run.stderr)
        self.assertEqual(list(self.copies.iterdir()), [])
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
        before = self.files(self.qcow2, SOFTWARE, ALICE, CAROL, DAVID)
        code, out = self.run_offline("--yes", "-a", self.qcow2)
        # Erin's folder, whose name is too long for this machine, is that profile's line; the others are repaired.
        self.assertEqual(code, 2, out)
        self.assertIn("User profile C:\\Users\\%s: not copied out of the image (" % ERIN_FOLDER, out)
        self.assertNotIn("no folder", out)
        after = self.files(self.qcow2, SOFTWARE, ALICE, BOB, CAROL, DAVID, SOFTWARE + ".morvane-backup",
                           ALICE + ".morvane-backup", DAVID + ".morvane-backup")
        # David's hive, of two names, is backed up as a copy.
        self.assertEqual(after[DAVID + ".morvane-backup"][0], before[DAVID][0])
        for hive in (SOFTWARE, ALICE):
            self.assertEqual(after[hive + ".morvane-backup"][0], before[hive][0])
            self.assertEqual(after[hive][1], before[hive][1])  # the same descriptor and attributes
            self.assertIn("  %s: replaced, its security descriptor and attributes kept" % hive, out)
        log = (self.folder / "Morvane.txt").read_bytes().decode("utf-16-le")
        self.assertTrue(log.endswith("Shutting down the appliance ...\r\n"
                                     "The changes listed above as written and replaced are in the image.\r\n"), log)
        self.assertNotIn(str(self.copies), log)
        after.update(self.files(self.qcow2, DAVID))
        for hive, key, value in ((SOFTWARE, r"/Classes/.exe", "exefile"), (ALICE, "/.exe", None), (BOB, "/.exe", None),
                                 (CAROL, "/.exe", None), (DAVID, "/.exe", None)):
            (self.folder / "hive").write_bytes(after[hive][0])
            listed = subprocess.run(["reglookup", "-H", "-p", key, self.folder / "hive"], capture_output=True,
                                    text=True).stdout
            self.assertEqual("/.exe/,SZ,%s," % value in listed if value else ".exe" in listed, bool(value), listed)
        repaired = digest(self.qcow2)
        code, out = self.run_offline("--yes", "-a", self.qcow2)
        self.assertEqual((code, digest(self.qcow2)), (2, repaired), out)
        self.assertIn("Nothing was written into the image.", out)
        # The first run's commands that put SOFTWARE, carol's hive and david's (named by its short name) back,
        # pasted into a shell, run nothing else.
        opening = "  guestfish --rw --format=qcow2 -a '%s' -m '/dev/sda' cp " % self.qcow2
        commands = [line for line in log.split("\r\n") if line.startswith(opening)]
        self.assertEqual(len(commands), 5, log)
        shell = self.folder / "shell"
        shell.mkdir()
        for command, hives in ((commands[0], [SOFTWARE]), (commands[-2], [CAROL]),
                               (commands[-1], [DAVID, DAVID.replace("david-long-name", DAVID_SHORT)])):
            self.assertTrue(command.endswith(tuple(" '%s'" % hive.replace("'", "'\\''") for hive in hives)), command)
            subprocess.run(["sh", "-c", command], cwd=shell, env=self.env, check=True, timeout=600)
        self.assertEqual(list(shell.iterdir()), [])
        restored = self.files(self.qcow2, SOFTWARE, CAROL, DAVID)
        self.assertEqual({hive: restored[hive][0] for hive in restored}, {hive: before[hive][0] for hive in restored})

    def test_refusals_and_a_dry_run_leave_the_images_as_they_were(self):
        # A file of the host that a vmdk descriptor and a qcow2 header name: never opened, never written.
        self.extent = self.folder / "extent.bin"
        self.external = self.folder / "external.qcow2"
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-o", "data_file=%s,data_file_raw=on" % self.extent,
                        self.external, "1M"], check=True)
        self.extent.write_bytes(bytes(range(256)) * 4096)
        extent = digest(self.extent)
        with open(self.empty, "r+b") as empty:
            empty.write(('# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n'
                         'RW 2048 FLAT "%s" 0\n' % self.extent).encode())
        cases = [
            ("dry run", ["--dry-run", "-a", self.raw], None, "Nothing was written into the image."),
            ("dirty hive", ["--yes", "-a", self.dirty], 1, "its two sequence numbers differ"),
            # Its first sector a vmdk descriptor naming another file of the host: read as raw, no Windows.
            ("no Windows", ["--yes", "-a", self.empty], 1, "No Windows installation was found on %s." % self.empty),
            ("vmdk named", ["--yes", "--format", "vmdk", "-a", self.empty], 1,
             "%s as vmdk names another file of this machine, %s, which is not opened unasked. If that is so, name "
             "it with --other-file FILE. Nothing was changed." % (self.empty, self.extent)),
            ("data file", ["--yes", "-a", self.external], 1,
             "%s has a qcow2 header that names another file of this machine, its external data file %s, which is "
             "not opened unasked." % (self.external, self.extent)),
            ("data file, named format", ["--yes", "--format", "qcow2", "-a", self.external], 1,
             "its external data file %s, which is not opened unasked." % self.extent),
            ("named twice", ["--yes", "-a", self.raw, "-a", self.folder / "." / self.raw.name], 1,
             "%s and %s are the same file, named twice with -a: name each disk of the machine once. Nothing was "
             "changed." % (self.raw, self.folder / "." / self.raw.name)),
            # The advice fits an image: the machine started and shut down fully, no host tool over the copies.
            ("hibernated", ["--yes", "-a", self.hibernated], 1,
             "The Windows on %s is hibernated, or was shut down with fast startup: /hiberfil.sys holds its saved "
             "session, and Windows would resume that session over the changes. Start the virtual machine, let "
             "Windows start, and shut it down fully" % WHOLE % self.hibernated),
            ("nearly full", ["--yes", "-a", self.full], 1,
             "The Windows volume in the image, %s, has 1 MB free, and the run may need " % WHOLE % self.full),
            ("several", ["--yes", "-a", self.raw, "-a", self.dirty], 1,
             "Several Windows installations were found:\n  /dev/sda  Windows 7 Professional (/Windows), on %s\n"
             "  /dev/sdb  Windows 7 Professional (/Windows), on %s\nName the one to repair with --root DEVICE."
             % (WHOLE % self.raw, WHOLE % self.dirty)),
        ]
        # A disk of the machine: the raw image behind a loop device, read as a disk is.
        disk = subprocess.run(["losetup", "--find", "--show", "--read-only", self.raw], capture_output=True,
                              text=True)
        if disk.returncode == 0:
            self.addCleanup(subprocess.run, ["losetup", "--detach", disk.stdout.strip()])
            cases.append(("disk, dry run", ["--dry-run", "-a", disk.stdout.strip()], 0,
                          "Windows 7 Professional found on %s." % WHOLE % disk.stdout.strip()))
        else:
            print("The disk case is skipped: no loop device (%s)" % disk.stderr.strip(), file=sys.stderr)
        for name, args, expected, message in cases:
            with self.subTest(name):
                images = {image: digest(image) for image in (self.raw, self.dirty, self.empty, self.full, self.hibernated)}
                code, out = self.run_offline(*args)
                self.assertIn(message, out)
                self.assertNotIn("remove_hiberfile", out)
                if expected is not None:
                    self.assertEqual(code, expected, out)
                self.assertEqual({image: digest(image) for image in images}, images)
                self.assertEqual(digest(self.extent), extent)

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
        # Interrupted once the writing began (Ctrl-C, as a terminal sends it to the whole foreground process
        # group, or SIGTERM as a service manager sends it): the appliance ended by the run, the copies removed,
        # and the last line says so.
        software = self.files(self.raw, SOFTWARE)
        for number, name in (signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM"):
            with self.subTest(name):
                run = subprocess.Popen([OFFLINE, "--yes", "--root", "/dev/sda", "-a", self.raw, "-a", self.dirty],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                       text=True, env=self.copies_env(), start_new_session=True)
                out = ""
                for line in run.stdout:
                    out += line
                    if line.startswith("Writing the changes into"):
                        os.killpg(run.pid, number) if number == signal.SIGINT else run.send_signal(number)
                run.stdout.close()
                self.assertEqual(run.wait(timeout=600), 2, out)
                self.assertTrue(out.endswith("Stopped by %s while writing: only the files listed above as written or "
                                             "replaced are in the image; each registry file not listed as replaced is "
                                             "as it was.\n" % name), out)
                self.assertNotIn(str(self.copies), out)
                self.assertEqual(list(self.copies.iterdir()), [])
                self.assertEqual(self.files(self.raw, SOFTWARE), software)
        # With its record in the image, whose log ends with what reached the image. Bob's new hive has a folder
        # in its way: his backup, a second name of his hive, is taken back, the hive as it was.
        bob = self.files(self.raw, BOB)
        code, out = self.run_offline("--yes", "--root", "/dev/sda", "-a", self.raw, "-a", self.dirty, log=False)
        self.assertEqual(code, 2, out)
        self.assertIn("Windows 7 Professional found on %s." % WHOLE % self.raw, out)
        replaced = "  %s: replaced, its security descriptor and attributes kept\n" % SOFTWARE
        self.assertIn(replaced, out)
        self.assertIn("  %s: not replaced (%s.morvane-new is in the way); it is as it was\n" % (BOB, BOB), out)
        self.assertIn("  %s.morvane-backup: removed again, so not in the image (its registry file was not replaced)\n"
                      % BOB, out)
        self.assertTrue(out.endswith("\nOnly the files listed above as written or replaced are in the image; each "
                                     "registry file not listed as replaced is as it was.\n"), out)
        self.assertEqual(self.files(self.raw, BOB), bob)
        listed = subprocess.run(["ntfsls", "-f", self.raw, "-p", os.path.dirname(BOB)], capture_output=True, text=True,
                                check=True).stdout.split()
        self.assertEqual(sorted(listed), [".", "..", "UsrClass.dat", "UsrClass.dat.morvane-new"])
        self.assertEqual(digest(self.dirty), before)
        record = self.files(self.raw, "/Morvane/Morvane.txt")["/Morvane/Morvane.txt"][0].decode("utf-16-le")
        self.assertIn("\r\nWritten into the image:\r\n", record)
        self.assertIn(replaced.replace("\n", "\r\n"), record.split("Written into the image:")[1])

    def test_qemu_killed_during_the_writing_leaves_each_file_original_whole_or_at_its_temporary_name(self):
        config = os.path.dirname(SOFTWARE)
        original = self.files(self.killed, SOFTWARE, ALICE)
        for name, kill in (("at the start", lambda line: line.startswith("Writing the changes into")),
                           ("after the first backup", lambda line: line.startswith("  %s.morvane-backup" % SOFTWARE)
                            and line.endswith(": written\n"))):
            with self.subTest(name):
                run = subprocess.Popen([OFFLINE, "--yes", "-a", self.killed], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                       env=self.copies_env())
                out = ""
                for line in run.stdout:
                    out += line
                    if kill(line):
                        subprocess.run(["pkill", "-KILL", "-P", str(run.pid), "qemu-system"])
                run.stdout.close()
                self.assertEqual(run.wait(timeout=600), 2, out)
                self.assertEqual(list(self.copies.iterdir()), [])
                now = self.files(self.killed, SOFTWARE, ALICE)
                for hive in (SOFTWARE, ALICE):
                    self.assertEqual(now[hive][0] == original[hive][0], "  %s: replaced" % hive not in out, out)
                listed = subprocess.run(["ntfsls", "-f", self.killed, "-p", config], capture_output=True, text=True,
                                        check=True).stdout.split()
                for file in set(listed) - {".", "..", "SOFTWARE", "SYSTEM"}:  # a backup is whole, or at its temporary name
                    self.assertTrue(file.startswith("SOFTWARE.morvane-"), listed)
                    if not file.endswith((".morvane-partial", ".morvane-new")):
                        path = config + "/" + file
                        self.assertEqual(self.files(self.killed, path)[path][0], original[SOFTWARE][0])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
