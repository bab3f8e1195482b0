"""Run as root over a source an ordinary user owns part of, with that user
watching and changing the destination while the run works and between
runs: the user reads nothing the source's security denies them."""
import os
import shutil
import struct
import subprocess
import time
import unittest

from velmox_e2e import WINDOWS, ScratchCase, main, run

NOBODY = 65534
FILES = 600
DEFAULT_ACL = "system.posix_acl_default"
NEWER_SECRET = b"the newer secret"
SECRETS = {b"root only %d" % number for number in range(FILES)} | {NEWER_SECRET}


def acl_granting_nobody():
    """A default ACL (the kernel's xattr form) that lets nobody in."""
    undefined = 0xFFFFFFFF
    entries = [(0x01, 7, undefined), (0x02, 7, NOBODY), (0x04, 7, undefined),
               (0x10, 7, undefined), (0x20, 0, undefined)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


def watch_as_nobody(root, stop_file):
    """In a child running as nobody: opens and reads every file met below
    root (noting those that hold a secret), and plants a default ACL and the set-group-ID bit on every
    directory it owns, until stop_file exists. Returns the child and a pipe
    on which it sends the names it read."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid:
        os.close(writer)
        return pid, reader
    os.close(reader)
    read = set()
    try:
        os.setgid(NOBODY)
        os.setgroups([])
        os.setuid(NOBODY)
        acl = acl_granting_nobody()
        while not os.path.exists(stop_file):
            for directory, _, files in os.walk(root):
                try:
                    if os.stat(directory).st_uid == NOBODY:
                        os.setxattr(directory, DEFAULT_ACL, acl)
                        os.chmod(directory, 0o2777)
                except OSError:
                    pass
                for name in files:
                    try:
                        with open(os.path.join(directory, name), "rb") as data:
                            if data.read() in SECRETS:
                                read.add(os.path.relpath(os.path.join(directory, name), root))
                    except OSError:
                        pass
        with os.fdopen(writer, "w") as out:
            out.write("\n".join(sorted(read)))
    finally:
        os._exit(0)


@unittest.skipIf(WINDOWS, "Linux build only")
@unittest.skipUnless(os.geteuid() == 0, "needs root, as the program does")
class WatchingUserTest(ScratchCase):
    def setUp(self):
        super().setUp()
        os.chmod(self.root, 0o755)
        # The user owns the directories; root owns the files, each 0600.
        for directory in ("src", "src/box", "src/box/deeper"):
            os.makedirs(self.path(directory), exist_ok=True)
            os.chown(self.path(directory), NOBODY, NOBODY)
        for number in range(FILES):
            where = ("src", "src/box", "src/box/deeper")[number % 3]
            secret = self.write(f"{where}/secret{number}", b"root only %d" % number)
            os.chmod(secret, 0o600)
        os.makedirs(self.path("outside"))
        os.chown(self.path("outside"), NOBODY, NOBODY)

    def velmox(self, *more):
        return run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"),
                    "/SubDirectories", "/SecurityDescriptor", "/Silent"] + list(more))

    def watched_run(self, *more):
        stop_file = self.path("stop")
        watcher, names = watch_as_nobody(self.path("dst"), stop_file)
        time.sleep(0.2)
        try:
            _, status = self.velmox(*more)
        finally:
            with open(stop_file, "w"):
                pass
            with os.fdopen(names) as sent:
                read = [n for n in sent.read().split("\n") if n]
            os.waitpid(watcher, 0)
            os.unlink(stop_file)
        return status, read

    def assert_same_security(self):
        """Every file as its source; directories are left out, since their
        owner (the user) may change them once the run has ended."""
        if shutil.which("rsync") is None:
            return
        differences = subprocess.run(
            ["rsync", "-aAXni", self.path("src") + "/", self.path("dst") + "/"],
            capture_output=True, text=True, check=True).stdout.splitlines()
        self.assertEqual([d for d in differences if not d.startswith(".d")], [])

    def test_the_watcher_reads_nothing_and_a_planted_link_is_replaced(self):
        os.makedirs(self.path("dst"))
        status, read = self.watched_run("/Overwrite")
        self.assertEqual(status, 0)
        self.assertEqual(read, [])
        self.assert_same_security()

        # Between runs the user, owner of dst/box, swaps a secret for a hard
        # link to a file of theirs; the newer secret must not reach it.
        mine = self.path("outside/mine")
        with open(mine, "wb") as out:
            out.write(b"mine")
        os.chown(mine, NOBODY, NOBODY)
        planted = self.path("dst/box/secret1")
        os.unlink(planted)
        os.link(mine, planted)
        with open(self.path("src/box/secret1"), "wb") as out:
            out.write(NEWER_SECRET)
        later = time.time() + 10
        os.utime(self.path("src/box/secret1"), (later, later))

        status, read = self.watched_run("/OnlyNewer")
        self.assertEqual(status, 0)
        self.assertEqual(read, [])
        self.assertEqual(self.read("outside/mine"), b"mine")
        self.assertEqual(self.read("dst/box/secret1"), NEWER_SECRET)
        self.assertEqual(os.stat(planted).st_uid, 0)
        self.assertEqual(os.stat(planted).st_mode & 0o777, 0o600)
        self.assert_same_security()


if __name__ == "__main__":
    main()
