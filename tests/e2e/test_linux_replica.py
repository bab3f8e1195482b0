"""A replica kept night after night with /Mirror /OnlyNewer: after every run
rsync finds nothing to carry over or delete, and a source that is not there
(missing, or an empty mount point) removes nothing."""
import json
import os
import shutil
import subprocess
import unittest

from velmox_e2e import WINDOWS, ScratchCase, exit_status, lines_of, main, run


@unittest.skipIf(WINDOWS, "Linux build only")
class ReplicaTest(ScratchCase):
    def velmox(self, *more):
        return run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"), "/SubDirectories",
                    "/CreateDestinationDirectory", "/OnlyNewer", "/Mirror", "/Exclude:*.cache",
                    "/Silent", "/Log:" + self.path("run.log")] + list(more))

    def differences(self):
        done = subprocess.run(["rsync", "-ani", "--checksum", "--delete", "--exclude=*.cache",
                               self.path("src") + "/", self.path("dst") + "/"],
                              check=True, capture_output=True)
        return done.stdout.decode().splitlines()

    def deleted(self):
        return [l for l in lines_of(self.read("run.log")) if l.startswith(b"DEL  ")]

    def test_five_nights_keep_the_replica_equal_to_its_source(self):
        self.write("src/docs/a.txt", b"a")
        self.write("src/docs/old/b.txt", b"b")
        self.write("src/photos/p1.jpg", b"p" * 5000)
        self.write("src/x.cache", b"never copied")
        os.symlink("docs/a.txt", self.path("src/latest"))
        nights = [
            lambda: None,
            lambda: (self.write("src/docs/a.txt", b"a, edited"),
                     os.utime(self.path("src/docs/a.txt"), (2e9, 2e9)),
                     self.write("src/docs/new.txt", b"new")),
            lambda: (os.remove(self.path("src/docs/new.txt")),
                     os.rename(self.path("src/docs/old"), self.path("src/docs/archive"))),
            lambda: (shutil.rmtree(self.path("src/photos")),
                     self.write("src/photos", b"a file where a directory was"),
                     os.remove(self.path("src/latest")), os.mkdir(self.path("src/latest"))),
            lambda: (os.remove(self.path("src/photos")), os.mkdir(self.path("src/photos")),
                     self.write("src/photos/p2.jpg", b"q" * 100)),
        ]
        for night, change in enumerate(nights):
            change()
            if night == 1:
                self.write("dst/keep.cache", b"the replica's own")
            output, status = self.velmox()
            self.assertEqual((output, status), (b"", 0), self.read("run.log"))
            self.assertEqual(self.differences(), [], f"night {night}")
            if night >= 1:
                self.assertEqual(self.read("dst/keep.cache"), b"the replica's own")
            self.assertFalse(os.path.exists(self.path("dst/x.cache")))
        # Night 2 removed new.txt and the renamed directory's old name.
        self.assertTrue(os.path.isdir(self.path("dst/docs/archive")))

        # A source that is not there removes nothing: missing, or a mount
        # point whose volume is not mounted (empty).
        before = self.differences()
        os.rename(self.path("src"), self.path("src.away"))
        output, status = self.velmox()
        self.assertEqual(status, 1)
        self.assertEqual(self.deleted(), [])
        os.mkdir(self.path("src"))
        os.utime(self.path("src"), (1e9, 1e9))  # its times must not reach the replica either
        output, status = self.velmox()
        self.assertEqual(status, 1)
        self.assertIn(b"MirrorEmptySource(SOURCE-DIR) (18)", self.read("run.log"))
        self.assertEqual(self.deleted(), [])
        os.rmdir(self.path("src"))
        os.rename(self.path("src.away"), self.path("src"))
        self.assertEqual(self.differences(), before)

        # /List of a changed source shows the removals the real run makes.
        os.remove(self.path("src/docs/a.txt"))
        output, status = self.velmox("/List")
        listed = self.deleted()
        self.assertTrue(os.path.exists(self.path("dst/docs/a.txt")))
        output, status = self.velmox()
        self.assertEqual((status, self.deleted()), (0, listed))
        self.assertEqual(len(listed), 1)
        self.assertEqual(self.differences(), [])

    def test_list_shows_what_the_real_run_does(self):
        """/List's decisions (JSON log) are the real run's, entry for entry, on
        a tree with hard links, links, removals and kind changes, two nights."""
        def tree():
            shutil.rmtree(self.path("src"), ignore_errors=True)
            shutil.rmtree(self.path("dst"), ignore_errors=True)
            self.write("src/a", b"a")
            os.link(self.path("src/a"), self.path("src/a2"))
            self.write("src/b", b"b")
            os.symlink("a", self.path("src/l"))
            self.write("src/sub/c", b"c")
            self.write("src/kind/k", b"k")
            os.mkdir(self.path("src/c2"))
            for name, data in (("b", b"old"), ("a", b"stale"), ("extra", b"y"), ("gone/x", b"x"),
                               ("kind", b"a file where a directory goes")):
                os.utime(self.write("dst/" + name, data), (1e9, 1e9))
            os.link(self.path("dst/a"), self.path("dst/a2"))
            os.mkdir(self.path("dst/l"))
            os.symlink("sub", self.path("dst/c2"))

        def decisions(*options):
            log = self.path("run.json")
            run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"), "/Silent",
                 "/JsonLog:" + log] + list(options))
            return [{k: v for k, v in json.loads(line).items() if k not in ("start", "end")}
                    for line in open(log) if '"kind":"start"' not in line]

        def night_two():
            self.write("src/a", b"changed")
            os.utime(self.path("src/a"), (2e9, 2e9))
            shutil.rmtree(self.path("src/sub"))
            self.write("src/extra", b"n")

        for options in (["/Mirror", "/OnlyNewer", "/SubDirectories", "/HardLinks"],
                        ["/Mirror", "/OnlyNewer", "/SubDirectories"],
                        ["/Mirror", "/Overwrite", "/SubDirectories"],
                        ["/Overwrite", "/SubDirectories", "/HardLinks"]):
            tree()
            for night in (1, 2):
                if night == 2:
                    night_two()
                listed = decisions("/List", *options)  # writes nothing
                done = decisions(*options)
                self.assertEqual(listed, done, f"{options} night {night}")
                self.assertTrue(any(r.get("decision") == "removed" for r in done) or
                                "/Mirror" not in options)

    def test_a_directory_an_administrator_closed_stays_closed(self):
        """Only directories a run left private (marked as its own) are
        finished by the next run; one closed by hand keeps its mode."""
        self.write("src/sub/a", b"a")
        self.assertEqual(self.velmox()[1], 0)
        os.chmod(self.path("dst/sub"), 0o700)
        self.write("src/sub/b", b"b")  # the source directory changes
        self.assertEqual(self.velmox()[1], 0, self.read("run.log"))
        self.assertEqual(os.stat(self.path("dst/sub")).st_mode & 0o7777, 0o700)
        self.assertEqual(self.read("dst/sub/b"), b"b")
        self.assertFalse([n for n in os.listxattr(self.path("dst/sub")) if "velmox" in n])


RSYNC_EXACT = ["rsync", "-aAXHni", "--numeric-ids", "--modify-window=-1",
               "--filter=-x system.*", "--filter=-x trusted.velmox.*"]


@unittest.skipIf(WINDOWS, "Linux build only")
@unittest.skipUnless(os.geteuid() == 0, "owners, trusted.* and mounts need root")
class BackupReplicaTest(ScratchCase):
    """A /Backup replica kept with /Mirror /OnlyNewer: after every night
    rsync, comparing times to the nanosecond and every attribute, finds
    nothing; what the source truly lacks goes, nothing else."""

    def velmox(self, *more, log="run.log"):
        return run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"), "/Backup",
                    "/CreateDestinationDirectory", "/OnlyNewer", "/Mirror", "/Silent",
                    "/Log:" + self.path(log)] + list(more))

    def differences(self):
        done = subprocess.run(RSYNC_EXACT + ["--delete", self.path("src") + "/",
                                             self.path("dst") + "/"],
                              check=True, capture_output=True)
        return done.stdout.decode().splitlines()

    def mount_tmpfs(self, where):
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", where],
                              capture_output=True)
        if done.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: " + done.stderr.decode())
        self.addCleanup(subprocess.run, ["umount", "-l", where], capture_output=True)

    def test_nights_converge_and_remove_only_what_the_source_lacks(self):
        self.write("src/docs/report.txt", b"version 2")
        os.utime(self.path("src/docs/report.txt"), ns=(1_700_000_000_123_456_789,) * 2)
        self.write("src/docs/notes", b"notes")
        self.write("src/Case/x", b"x")
        os.makedirs(self.path("src/vol"))
        self.mount_tmpfs(self.path("src/vol"))
        self.write("src/vol/disk.img", b"volume data")
        self.assertEqual(self.velmox()[1], 0, self.read("run.log"))
        self.assertEqual(self.differences(), [])

        nights = [
            # An older version restored, with its old time.
            lambda: (self.write("src/docs/report.txt", b"version 1"),
                     os.utime(self.path("src/docs/report.txt"),
                              ns=(1_600_000_000_000_000_001,) * 2)),
            # A case-only rename.
            lambda: os.rename(self.path("src/Case"), self.path("src/case")),
            # Mode, owner, ACL and xattr changed, the write time not.
            lambda: (os.chmod(self.path("src/docs/notes"), 0o600),
                     os.chown(self.path("src/docs/notes"), 4321, 4322),
                     subprocess.run(["setfacl", "-m", "u:4444:r", self.path("src/docs/report.txt")],
                                    check=True),
                     os.setxattr(self.path("src/case/x"), "user.tag", b"added")),
            # A hard-link group gains names, one in a new directory.
            lambda: (os.link(self.path("src/docs/notes"), self.path("src/docs/notes.2")),
                     os.makedirs(self.path("src/more")),
                     os.link(self.path("src/docs/notes"), self.path("src/more/notes"))),
            # A directory's ACL and xattr changed at the source, another's
            # ACL in the replica by hand, nothing in either written.
            lambda: (subprocess.run(["setfacl", "-m", "u:4444:rx", self.path("src/docs")],
                                    check=True),
                     os.setxattr(self.path("src/docs"), "user.tag", b"dir"),
                     subprocess.run(["setfacl", "-m", "u:5555:rwx", self.path("dst/case")],
                                    check=True)),
        ]
        for night, change in enumerate(nights):
            change()
            output, status = self.velmox()
            self.assertEqual((output, status), (b"", 0), self.read("run.log"))
            self.assertEqual(self.differences(), [], f"night {night}")
        self.assertEqual(self.read("dst/docs/report.txt"), b"version 1")

        # A subtree the source lacks that holds the run's logs is not even
        # entered.
        self.write("dst/logs/old.txt", b"old")
        output, status = self.velmox("/ErrorLog:" + self.path("dst/logs/night.err"),
                                     log="dst/logs/night.log")
        self.assertEqual(status, 0)
        self.assertTrue(os.path.exists(self.path("dst/logs/night.log")))
        self.assertTrue(os.path.exists(self.path("dst/logs/old.txt")))

        # A source inside its destination is refused before anything is done.
        output, status = run(["/Source:" + self.path("dst/docs"), "/Dest:" + self.path("dst"),
                              "/Mirror", "/SubDirectories"])
        self.assertEqual(status, exit_status(-1))
        self.assertIn(b"Source lies inside the destination", output)
        self.assertTrue(os.path.exists(self.path("dst/case/x")))

        # The volume goes away: its mount point holds one stray file. Nothing
        # of its replica goes, night after night, and one ERR says why.
        subprocess.run(["umount", self.path("src/vol")], check=True)
        self.write("src/vol/stray", b"stray")
        for night in range(2):
            output, status = self.velmox()
            self.assertEqual(status, 1, self.read("run.log"))
            self.assertIn(b"MountPointChanged(SOURCE-DIR) (1006)", self.read("run.log"))
            self.assertEqual(self.read("dst/vol/disk.img"), b"volume data")
        # Back again: the replica is the volume's once more.
        os.remove(self.path("src/vol/stray"))
        self.mount_tmpfs(self.path("src/vol"))
        self.write("src/vol/disk.img", b"volume data, later")
        output, status = self.velmox()
        self.assertEqual(status, 0, self.read("run.log"))
        self.assertEqual(self.differences(), [])

    def test_a_replica_converges_on_what_the_run_carries_and_verify_names_it(self):
        """A replica seeded without /Backup, and damage done on it by hand
        (owner and mode, a link retargeted with its length and time), are
        named by /Backup /Verify and put right by the next nightly run."""
        self.write("src/secret", b"private")
        os.chmod(self.path("src/secret"), 0o600)
        os.chown(self.path("src/secret"), 4321, 4322)
        subprocess.run(["setfacl", "-m", "u:4444:r", self.path("src/secret")], check=True)
        os.symlink("aaaa", self.path("src/link"))
        os.mkfifo(self.path("src/fifo"))
        plain = ["/Source:" + self.path("src"), "/Dest:" + self.path("dst"), "/SubDirectories",
                 "/CreateDestinationDirectory", "/OnlyNewer", "/Silent"]
        self.assertEqual(run(plain)[1], 1)  # the FIFO, without /Specials

        def verified():
            output, status = run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"),
                                  "/Backup", "/Verify", "/Silent", "/Log:" + self.path("v.log")])
            return status, sorted(l.split(b": ", 2)[-1] for l in lines_of(self.read("v.log"))
                                  if l.startswith(b"DIFF "))

        status, found = verified()
        self.assertIn(b"owner, group or mode differs", found)
        self.assertIn(b"missing at the destination", found)  # the FIFO
        self.assertNotIn(b"ERR  ", self.read("v.log"))  # the FIFO is never opened
        self.assertEqual(self.velmox()[1], 0, self.read("run.log"))
        self.assertEqual(self.differences(), [])
        self.assertEqual(verified(), (0, []))

        # By hand on the replica, and a link retargeted with the same length
        # and time at the source.
        os.chmod(self.path("dst/secret"), 0o644)
        os.chown(self.path("dst/secret"), 65534, 65534)
        os.setxattr(self.path("dst/secret"), "user.note", b"by hand")
        before = os.lstat(self.path("src/link"))
        os.remove(self.path("src/link"))
        os.symlink("bbbb", self.path("src/link"))
        os.utime(self.path("src/link"), ns=(before.st_atime_ns, before.st_mtime_ns),
                 follow_symlinks=False)
        status, found = verified()
        self.assertEqual(found, [b"attributes differ", b"link target differs",
                                 b"owner, group or mode differs"])
        self.assertEqual(self.velmox()[1], 0, self.read("run.log"))
        self.assertEqual(self.differences(), [])
        self.assertEqual(os.readlink(self.path("dst/link")), "bbbb")
        self.assertEqual(verified(), (0, []))

    def test_volumes_away_after_a_plain_seed_remove_nothing(self):
        """A replica seeded by a plain /Backup run records its volumes: a
        source root or nested volume not mounted on a later /Mirror night
        (its mount point holding one stray file) removes nothing, until
        /AcceptVolume takes the change."""
        os.makedirs(self.path("src"))
        self.mount_tmpfs(self.path("src"))
        for i in range(50):
            self.write(f"src/f{i:02}", b"root volume")
        os.makedirs(self.path("src/vol"))
        self.mount_tmpfs(self.path("src/vol"))
        for i in range(4):
            self.write(f"src/vol/g{i}", b"nested volume")
        seed = run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"), "/Backup",
                    "/OnlyNewer", "/CreateDestinationDirectory", "/Silent"])
        self.assertEqual(seed, (b"", 0))

        def night(*more):
            output, status = self.velmox(*more)
            log = self.read("run.log")
            return status, log, [l for l in lines_of(log) if l.startswith(b"DEL  ")]

        subprocess.run(["umount", self.path("src/vol")], check=True)
        self.write("src/vol/stray", b"on the root volume")
        status, log, deleted = night()
        self.assertEqual((status, deleted), (1, []), log)
        self.assertIn(b"MountPointChanged(SOURCE-DIR) (1006)", log)
        self.assertEqual(len(os.listdir(self.path("dst/vol"))), 5)

        subprocess.run(["umount", "-l", self.path("src")], check=True)
        self.write("src/stray", b"on the parent volume")
        for _ in range(2):
            status, log, deleted = night()
            self.assertEqual((status, deleted), (1, []), log)
            self.assertIn(b"VolumeChanged(SOURCE-DIR, recorded volume ", log)
            self.assertEqual(len(os.listdir(self.path("dst"))), 52)  # 50, vol and the stray
        status, log, deleted = night("/AcceptVolume")
        self.assertEqual(status, 0, log)
        self.assertEqual(sorted(os.listdir(self.path("dst"))), ["stray"])


@unittest.skipIf(WINDOWS, "Linux build only")
@unittest.skipUnless(os.geteuid() == 0 and shutil.which("mount.exfat-fuse") and
                     shutil.which("mkfs.exfat"), "needs root, exfat-fuse and exfatprogs")
class ExfatFuseTest(ScratchCase):
    """exFAT as Debian mounts a USB disk (exfat-fuse): no RENAME_NOREPLACE,
    no hard links, an inode per spelling of a name. Copies land, and a
    case-only rename at the source never costs the replica its file."""

    def setUp(self):
        super().setUp()
        image = self.path("usb.img")
        with open(image, "wb") as out:
            out.truncate(64 << 20)
        subprocess.run(["mkfs.exfat", image], check=True, capture_output=True)
        loop = subprocess.run(["losetup", "-f", "--show", image], capture_output=True, text=True)
        if loop.returncode != 0:
            self.skipTest("no loop device: " + loop.stderr)
        self.addCleanup(subprocess.run, ["losetup", "-d", loop.stdout.strip()], capture_output=True)
        os.mkdir(self.path("usb"))
        done = subprocess.run(["mount.exfat-fuse", loop.stdout.strip(), self.path("usb")],
                              capture_output=True)
        if done.returncode != 0:
            self.skipTest("cannot mount exfat-fuse here: " + done.stderr.decode())
        self.addCleanup(subprocess.run, ["umount", self.path("usb")], capture_output=True)

    def test_copies_land_and_case_only_renames_keep_every_file(self):
        for i in range(6):
            self.write(f"src/docs/Report{i}.txt", b"report %d" % i)
        os.link(self.path("src/docs/Report0.txt"), self.path("src/docs/same.txt"))
        arguments = ["/Source:" + self.path("src"), "/Dest:" + self.path("usb/dst"),
                     "/SubDirectories", "/CreateDestinationDirectory", "/OnlyNewer", "/Mirror",
                     "/HardLinks", "/Silent", "/Log:" + self.path("run.log")]
        self.assertEqual(run(arguments), (b"", 0), self.read("run.log"))
        for i in range(6):
            os.rename(self.path(f"src/docs/Report{i}.txt"), self.path(f"src/docs/report{i}.txt"))
        for night in range(2):
            self.assertEqual(run(arguments), (b"", 0), self.read("run.log"))
            self.assertNotIn(b"DEL  ", self.read("run.log"))
            self.assertEqual(sorted(os.listdir(self.path("usb/dst/docs"))),
                             [f"report{i}.txt" for i in range(6)] + ["same.txt"])
            for i in range(6):
                self.assertEqual(self.read(f"usb/dst/docs/report{i}.txt"), b"report %d" % i)
        self.assertEqual(self.read("usb/dst/docs/same.txt"), b"report 0")
        log = self.read("run.log")
        self.assertEqual(log.count(b"NOTE "), 1, log)
        self.assertIn(b"The volume keeps no hard links", log)

    def test_what_the_volume_cannot_keep_is_said_and_leaves_nothing(self):
        """A link and a FIFO, which the volume refuses, are one ERR each and
        leave no temporary entry; what it refuses is said once, in a NOTE."""
        self.write("src/a", b"a")
        os.symlink("a", self.path("src/l1"))
        os.symlink("a", self.path("src/l2"))
        os.mkfifo(self.path("src/fifo"))
        output, status = run(["/Source:" + self.path("src"), "/Dest:" + self.path("usb/dst"),
                              "/Backup", "/CreateDestinationDirectory", "/Silent",
                              "/Log:" + self.path("run.log")])
        log = self.read("run.log")
        self.assertEqual(status, 3, log)  # the errors
        self.assertEqual(log.count(b"ERR  "), 3, log)
        self.assertEqual(log.count(b"The volume keeps no symbolic links"), 1, log)
        self.assertEqual(sorted(os.listdir(self.path("usb/dst"))), ["a"])


if __name__ == "__main__":
    main()
