"""/Backup on Linux: a tree of every kind of object copied so that rsync
finds nothing to carry over, cp -a being the oracle of a faithful copy."""
import os
import socket
import stat
import subprocess
import unittest

from velmox_e2e import WINDOWS, ScratchCase, line, main, run, start

# The replica's own marks (the volumes it recorded) are no part of the copy.
RSYNC_CHECK = ["rsync", "-aAXHni", "--numeric-ids", "--checksum", "--filter=-x trusted.velmox.*"]


@unittest.skipIf(WINDOWS, "Linux build only")
@unittest.skipUnless(os.geteuid() == 0, "devices, owners and trusted.* need root")
class BackupTest(ScratchCase):
    def build_tree(self):
        src = self.path("src")
        self.write("src/plain", b"plain data")
        self.write("src/empty")
        with open(self.path("src/sparse"), "wb") as sparse:
            sparse.seek(8 << 20)
            sparse.write(b"end")
        os.makedirs(self.path("src/sub/deeper"))
        os.link(self.path("src/plain"), self.path("src/sub/group2"))
        os.link(self.path("src/plain"), self.path("src/sub/deeper/group3"))
        self.write("src/pair1", b"second group")
        os.link(self.path("src/pair1"), self.path("src/sub/pair2"))
        os.symlink("plain", self.path("src/relative"))
        os.symlink("/etc/hostname", self.path("src/absolute"))
        os.symlink("nowhere/at/all", self.path("src/dangling"))
        os.symlink("sub", self.path("src/directory-link"))
        os.symlink("..", self.path("src/sub/up"))  # followed, it would loop
        os.mkfifo(self.path("src/fifo"))
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(self.path("src/socket"))
        os.mknod(self.path("src/null"), 0o620 | stat.S_IFCHR, os.makedev(1, 3))
        os.mknod(self.path("src/loop"), 0o640 | stat.S_IFBLK, os.makedev(7, 200))
        os.setxattr(self.path("src/plain"), "user.comment", b"kept")
        os.setxattr(self.path("src/sub"), "user.dir", b"also kept")
        os.setxattr(self.path("src/pair1"), "trusted.velmox", b"trusted")
        os.setxattr(self.path("src/empty"), "security.velmox", b"labelled")
        os.setxattr(self.path("src/absolute"), "trusted.link", b"on the link", follow_symlinks=False)
        subprocess.run(["setfacl", "-m", "u:4321:rwx", self.path("src/sub/deeper")], check=True)
        subprocess.run(["setfacl", "-d", "-m", "g:4321:r", self.path("src/sub")], check=True)
        os.chmod(self.path("src/empty"), 0o6755)
        os.chown(self.path("src/empty"), 54321, 65432)  # owners no name maps to
        os.chown(self.path("src/fifo"), 54321, 0)
        os.chown(self.path("src/absolute"), 4321, 4321, follow_symlinks=False)
        for name in ("relative", "dangling", "socket", "null"):
            os.utime(self.path("src", name), ns=(1_234_567_890_123_456_700,) * 2,
                     follow_symlinks=False)
        os.utime(self.path("src/sub"), ns=(1_400_000_000_000_000_000,) * 2)
        return src

    def differences(self, source, copy):
        done = subprocess.run(RSYNC_CHECK + [source + "/", copy + "/"], check=True,
                              capture_output=True)
        return done.stdout.decode().splitlines()

    def test_a_backup_holds_everything_its_source_holds_and_a_rerun_changes_nothing(self):
        src = self.build_tree()
        subprocess.run(["cp", "-a", src, self.path("oracle")], check=True)
        self.assertEqual(self.differences(src, self.path("oracle")), [])

        arguments = ["/Source:" + src, "/Dest:" + self.path("dst"), "/Backup",
                     "/CreateDestinationDirectory", "/Silent", "/Log:" + self.path("run.log")]
        output, status = run(arguments)
        self.assertEqual((output, status), (b"", 0), self.read("run.log"))
        log = self.read("run.log")
        self.assertIn(line("Files          : 16"), log)
        self.assertIn(line("Directories    : 3"), log)

        # The rerun comes before anything lists the source or the copy, which
        # would move access times, which the copy carries; the names looked
        # at come from the oracle.
        names = [os.path.relpath(os.path.join(d, name), self.path("oracle"))
                 for d, dirs, files in os.walk(self.path("oracle")) for name in dirs + files]
        self.assertEqual(len(names), 18)

        def change_times():
            return {name: os.lstat(self.path("dst", name)).st_ctime_ns for name in names}
        before = change_times()
        output, status = run(arguments[:-1] + ["/OnlyNewer", "/Log:" + self.path("rerun.log")])
        self.assertEqual((output, status), (b"", 0), self.read("rerun.log"))
        rerun = self.read("rerun.log")
        for counter in ("new", "newer", "overwritten"):
            self.assertIn(line(f"   -{counter:<11}: 0"), rerun)
        after = change_times()
        self.assertEqual({n: t for n, t in after.items() if t != before[n]}, {})

        self.assertEqual(self.differences(src, self.path("dst")), [])
        self.assertEqual(self.differences(self.path("oracle"), self.path("dst")), [])
        groups = [("plain", "sub/group2", "sub/deeper/group3"), ("pair1", "sub/pair2")]
        for group in groups:
            inodes = {os.lstat(self.path("dst", name)).st_ino for name in group}
            self.assertEqual(len(inodes), 1, group)
        self.assertEqual(os.readlink(self.path("dst/relative")), "plain")
        self.assertEqual(os.readlink(self.path("dst/sub/up")), "..")
        # The holes stay holes.
        self.assertLess(os.stat(self.path("dst/sparse")).st_blocks * 512, 1 << 20)

    def test_four_threads_make_the_same_backup(self):
        src = self.build_tree()
        subprocess.run(["cp", "-a", src, self.path("oracle")], check=True)
        output, status = run(["/Source:" + src, "/Dest:" + self.path("dst"), "/Backup",
                              "/Threads:4", "/CreateDestinationDirectory", "/Silent",
                              "/Log:" + self.path("run.log")])
        self.assertEqual((output, status), (b"", 0), self.read("run.log"))
        self.assertIn(line("Files          : 16"), self.read("run.log"))
        self.assertEqual(self.differences(self.path("oracle"), self.path("dst")), [])
        for group in [("plain", "sub/group2", "sub/deeper/group3"), ("pair1", "sub/pair2")]:
            self.assertEqual(len({os.lstat(self.path("dst", n)).st_ino for n in group}), 1, group)

    def test_four_lists_run_at_once_make_what_one_whole_run_makes(self):
        src = self.build_tree()
        for n in range(12):  # more files in shared directories, for the runs to meet in
            self.write(f"src/sub/many{n}", bytes([n]) * (n * 1000))
        common = ["/Source:" + src, "/Backup", "/CreateDestinationDirectory", "/Silent"]
        output, status = run(common + ["/Dest:" + self.path("whole")])
        common.append("/OnlyNewer")  # the runs meet in directories made by one another
        self.assertEqual((output, status), (b"", 0))

        # Every entry but a directory, split by object so that the names of
        # one hard-link group stay in one list (a run links only its own).
        parts = [[] for _ in range(4)]
        objects = {}  # inode: the list its names go to, objects taken in turn

        def split(relative):
            with os.scandir(os.path.join(src, relative)) as entries:
                for entry in sorted(entries, key=lambda e: e.name):
                    path = os.path.join(relative, entry.name)
                    if entry.is_dir(follow_symlinks=False):
                        split(path)
                    else:
                        part = objects.setdefault(entry.inode(), len(objects) % 4)
                        parts[part].append(path)
        split("")
        self.assertTrue(all(parts), parts)
        runs = []
        for index, part in enumerate(parts):
            with open(self.path(f"part{index}"), "wb") as out:
                out.write(b"".join(os.fsencode(path) + b"\0" for path in part))
            runs.append(start(common + ["/Dest:" + self.path("dst"),
                                        "/Files0:" + self.path(f"part{index}"),
                                        "/Log:" + self.path(f"part{index}.log")]))
        for index, process in enumerate(runs):
            output, _ = process.communicate(timeout=120)
            self.assertEqual((output, process.returncode), (b"", 0),
                             self.read(f"part{index}.log"))
        self.assertEqual(self.differences(self.path("whole"), self.path("dst")), [])


if __name__ == "__main__":
    main()
