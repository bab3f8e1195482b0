"""The privileged copy hands no one what the source denies them: run as root
over a tree an ordinary user owns and changes while the run works, nothing
in the destination holds a root-only file's bytes, and nothing is more open
than its source."""
import ctypes
import os
import shutil
import stat
import subprocess
import time
import unittest

from velmox_e2e import WINDOWS, ScratchCase, main, run, start

USER = 4321
SECRET = b"ROOT ONLY"
# The user's side of the race: exchanges each file with a link to the
# secret (and each directory with a link to a root-only directory) without
# pause, as renameat2(RENAME_EXCHANGE) allows.
SWAPPER = r"""
import ctypes, os, sys, time
libc = ctypes.CDLL(None, use_errno=True)
home, seconds = sys.argv[1], float(sys.argv[2])
pairs = [(n, "link" + n[4:]) for n in os.listdir(home) if n.startswith("item")]
end = time.time() + seconds
while time.time() < end:
    for a, b in pairs:
        libc.renameat2(-100, os.path.join(home, a).encode(), -100,
                       os.path.join(home, b).encode(), 2)
"""


@unittest.skipIf(WINDOWS, "Linux build only")
@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
class HostileUserTest(ScratchCase):
    def setUp(self):
        super().setUp()
        os.chmod(self.root, 0o755)
        self.secret = self.write("root/secret", SECRET)
        os.chmod(self.secret, 0o600)
        os.makedirs(self.path("root/private"))
        self.write("root/private/inner", SECRET)
        os.chmod(self.path("root/private"), 0o700)
        os.chmod(self.path("root"), 0o755)
        self.home = self.path("src/home")
        os.makedirs(self.home)
        os.chmod(self.path("src"), 0o755)

    def as_user(self, path):
        os.lchown(path, USER, USER)

    def holding_secret(self):
        found = []
        for directory, _, names in os.walk(self.path("dst")):
            for name in names:
                path = os.path.join(directory, name)
                if os.path.islink(path) or not stat.S_ISREG(os.lstat(path).st_mode):
                    continue
                with open(path, "rb") as data:
                    if SECRET in data.read():
                        found.append(path)
        return found

    def velmox(self, *more):
        return run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"),
                    "/SubDirectories", "/CreateDestinationDirectory", "/Silent"] + list(more))

    def test_logs_and_lists_are_never_opened_through_a_planted_link(self):
        """The user's links in the user's directory, to root's files: every
        log and list path is refused with a fatal message, nothing written
        through them. Root's own link in root's directory is followed."""
        self.write("src/home/item", b"the user's own")
        logs = self.path("logs")
        os.makedirs(logs)
        self.as_user(logs)
        target = self.write("root/victim", b"root's file")
        for name in ["run.log", "run.err", "run.json", "list"]:
            os.symlink(target, os.path.join(logs, name))
            self.as_user(os.path.join(logs, name))
        os.symlink(self.path("root"), os.path.join(logs, "through"))
        self.as_user(os.path.join(logs, "through"))
        for option, name, message in [
                ("/Log:", "run.log", b"Cannot open logfile"),
                ("/AppendLog:", "run.log", b"Cannot open logfile"),
                ("/ErrorLog:", "run.err", b"Cannot open error-logfile"),
                ("/AppendErrorLog:", "run.err", b"Cannot open error-logfile"),
                ("/JsonLog:", "run.json", b"Cannot open JSON logfile"),
                ("/Log:", "through/victim", b"Cannot open logfile"),
                ("/Files:", "list", b"Cannot read file list")]:
            output, status = self.velmox(option + os.path.join(logs, name))
            self.assertEqual(status, 255, option + name)
            self.assertIn(message, output)
            self.assertEqual(self.read("root/victim"), b"root's file")
        # Root's own link, in a directory only root may write, is followed.
        os.symlink(self.path("root"), self.path("root-logs"))
        output, status = self.velmox("/Log:" + self.path("root-logs/night.log"))
        self.assertEqual(status, 0, output)
        self.assertTrue(os.path.exists(self.path("root/night.log")))

    def test_swapped_links_are_never_read_through(self):
        for i in range(200):
            self.write(f"src/home/item{i}", b"the user's own")
            os.symlink(self.secret if i % 2 else self.path("root/private"),
                       self.path(f"src/home/link{i}"))
            if i % 2 == 0:
                os.remove(self.path(f"src/home/item{i}"))
                os.mkdir(self.path(f"src/home/item{i}"))
                self.write(f"src/home/item{i}/f", b"the user's own")
        for directory, dirs, files in os.walk(self.home):
            for name in dirs + files:
                self.as_user(os.path.join(directory, name))
        self.as_user(self.home)
        # Links kept (the default), and followed: what a link leads to is
        # judged on what was opened, whatever the listing saw at the name.
        for attempt, more in enumerate([[], [], [], ["/FollowLinks"], ["/FollowLinks"],
                                        ["/FollowLinks"], ["/FollowLinks"]]):
            swapper = subprocess.Popen(
                ["setpriv", f"--reuid={USER}", f"--regid={USER}", "--clear-groups",
                 "python3", "-c", SWAPPER, self.home, "3"])
            time.sleep(0.2)
            self.velmox(*more)
            swapper.wait()
            self.assertEqual(self.holding_secret(), [], f"attempt {attempt} {more}")
            subprocess.run(["rm", "-rf", self.path("dst")], check=True)

    def test_nothing_is_more_open_than_its_source(self):
        self.write("src/home/private", b"mine")
        os.chmod(self.path("src/home/private"), 0o600)
        os.makedirs(self.path("src/home/closed"))
        os.chmod(self.path("src/home/closed"), 0o700)
        for name in ("private", "closed"):
            self.as_user(self.path("src/home", name))
        # A set-id program of root's, which the user replaces in their own
        # directory with bytes of their own.
        self.write("dst/home/tool", b"root's program")
        os.chmod(self.path("dst/home/tool"), 0o4755)
        os.utime(self.path("dst/home/tool"), (1e9, 1e9))
        self.write("src/home/tool", b"the user's bytes")
        self.as_user(self.path("src/home/tool"))
        # A link the user planted to the secret, followed with /FollowLinks.
        os.symlink(self.secret, self.path("src/home/planted"))
        self.as_user(self.path("src/home/planted"))
        output, status = self.velmox("/OnlyNewer", "/FollowLinks")
        self.assertEqual(status, 1)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("dst/home/private")).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("dst/home/closed")).st_mode), 0o700)
        self.assertEqual(self.read("dst/home/tool"), b"the user's bytes")
        self.assertEqual(os.stat(self.path("dst/home/tool")).st_mode & 0o6000, 0)
        self.assertFalse(os.path.lexists(self.path("dst/home/planted")))
        self.assertEqual(self.holding_secret(), [])
        # No one else can read in the copy what the source denied them.
        reader = subprocess.run(["setpriv", f"--reuid={USER + 1}", f"--regid={USER + 1}",
                                 "--clear-groups", "cat", self.path("dst/home/private")],
                                capture_output=True)
        self.assertNotEqual(reader.returncode, 0)


if __name__ == "__main__":
    main()
