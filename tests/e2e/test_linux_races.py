"""Run as root over a tree an ordinary user owns, while that user swaps each
of their files with a link to a root-only file (renameat2 RENAME_EXCHANGE,
in a loop): whatever the run copies, the data and the security it writes
come from one and the same object."""
import ctypes
import os
import time
import unittest

from velmox_e2e import WINDOWS, ScratchCase, main, run

NOBODY = 65534
PAIRS = 1000
RUNS = 4
SECRET = b"root only secret"
RENAME_EXCHANGE = 2
SYS_RENAMEAT2 = {"x86_64": 316, "aarch64": 276}.get(os.uname().machine)


def swap_as_nobody(directory, names, stop_file):
    """A child running as nobody that exchanges each `name` with `name.link`
    until stop_file exists; returns its pid."""
    pid = os.fork()
    if pid:
        return pid
    try:
        os.setgid(NOBODY)
        os.setgroups([])
        os.setuid(NOBODY)
        libc = ctypes.CDLL(None, use_errno=True)
        fd = os.open(directory, os.O_RDONLY)
        pairs = [(n.encode(), (n + ".link").encode()) for n in names]
        while not os.path.exists(stop_file):
            for name, link in pairs:
                libc.syscall(SYS_RENAMEAT2, fd, name, fd, link, RENAME_EXCHANGE)
    finally:
        os._exit(0)


@unittest.skipIf(WINDOWS, "Linux build only")
@unittest.skipUnless(os.geteuid() == 0, "needs root, as the program does")
@unittest.skipIf(SYS_RENAMEAT2 is None, "renameat2 number unknown here")
class SwappingUserTest(ScratchCase):
    def test_no_copy_holds_one_objects_data_with_anothers_security(self):
        os.chmod(self.root, 0o755)
        src = self.path("src")
        os.makedirs(src)
        os.chown(src, NOBODY, NOBODY)
        secret = self.write("secret", SECRET)
        os.chmod(secret, 0o600)
        names = ["f%04d" % i for i in range(PAIRS)]
        for name in names:
            mine = self.write("src/" + name, b"the user's own data")
            os.chown(mine, NOBODY, NOBODY)
            os.symlink(secret, self.path("src", name + ".link"))
            os.lchown(self.path("src", name + ".link"), NOBODY, NOBODY)
        stop_file = self.path("stop")
        swapper = swap_as_nobody(src, names, stop_file)
        leaks = []
        try:
            time.sleep(0.1)
            for attempt in range(RUNS):
                destination = self.path("dst%d" % attempt)
                run(["/Source:" + src, "/Dest:" + destination, "/SubDirectories",
                     "/SecurityDescriptor", "/CreateDestinationDirectory", "/Silent",
                     "/ErrorLog:" + self.path("run%d.err" % attempt)], timeout=300)
                for name in os.listdir(destination):
                    copy = os.path.join(destination, name)
                    with open(copy, "rb") as data:
                        holds_secret = data.read() == SECRET
                    info = os.stat(copy)
                    if holds_secret and (info.st_uid, info.st_mode & 0o777) != (0, 0o600):
                        leaks.append((attempt, name, info.st_uid, oct(info.st_mode & 0o777)))
        finally:
            with open(stop_file, "w"):
                pass
            os.waitpid(swapper, 0)
        self.assertEqual(leaks, [])


if __name__ == "__main__":
    main()
