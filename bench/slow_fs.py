#!/usr/bin/env python3
"""A passthrough file system that waits a fixed time in every operation:
what a copy onto or from a network share meets, where each create, open,
set-times and close is a round trip. Multi-threaded, so that requests sent
at once wait at once, as a share's round trips do.

    python3 bench/slow_fs.py BACKING MOUNTPOINT [--delay-ms 1]

Runs in the foreground until unmounted (fusermount -u MOUNTPOINT).

The wait is per request of the kernel: libfuse answers a request that makes
an entry (create, mkdir, mknod, link, symlink) or sets attributes (chmod,
chown, utimens, truncate) with the operation and then a getattr for the
attributes it returns; that getattr is part of the same round trip and
waits no more, as a share's answer carries the attributes.
"""
import argparse
import errno
import os
import sys
import threading
import time

try:  # Debian's python3-fusepy names the module fusepy
    from fusepy import FUSE, FuseOSError, Operations
except ImportError:
    from fuse import FUSE, FuseOSError, Operations


ANSWERED_WITH_ATTRIBUTES = {"create", "mkdir", "mknod", "link", "symlink", "chmod", "chown",
                            "utimens", "truncate"}


class SlowPassthrough(Operations):
    def __init__(self, backing, delay):
        self.backing = backing
        self.delay = delay
        self.request = threading.local()

    def __call__(self, operation, *arguments):
        same_request = operation == "getattr" and getattr(self.request, "wants_attributes", False)
        self.request.wants_attributes = operation in ANSWERED_WITH_ATTRIBUTES
        if not same_request:
            time.sleep(self.delay)
        try:
            return super().__call__(operation, *arguments)
        except OSError as error:
            raise FuseOSError(error.errno or errno.EIO)

    def real(self, path):
        return os.path.join(self.backing, path.lstrip("/"))

    def getattr(self, path, fh=None):
        st = os.lstat(self.real(path)) if fh is None else os.fstat(fh)
        keys = ("st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_atime", "st_mtime",
                "st_ctime", "st_ino", "st_blocks")
        result = {key: getattr(st, key) for key in keys}
        for key in ("st_atime", "st_mtime", "st_ctime"):
            result[key] = getattr(st, key + "_ns") / 1e9
        return result

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self.real(path))

    def access(self, path, mode):
        if not os.access(self.real(path), mode, follow_symlinks=False):
            raise FuseOSError(errno.EACCES)

    def statfs(self, path):
        st = os.statvfs(self.real(path))
        return {key: getattr(st, key) for key in (
            "f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files",
            "f_flag", "f_frsize", "f_namemax")}

    def open(self, path, flags):
        return os.open(self.real(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self.real(path), os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        if fh is None:
            os.truncate(self.real(path), length)
        else:
            os.ftruncate(fh, length)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        os.fsync(fh)

    def release(self, path, fh):
        os.close(fh)

    def mkdir(self, path, mode):
        os.mkdir(self.real(path), mode)

    def rmdir(self, path):
        os.rmdir(self.real(path))

    def unlink(self, path):
        os.unlink(self.real(path))

    def rename(self, old, new):
        os.rename(self.real(old), self.real(new))

    def link(self, target, source):
        os.link(self.real(source), self.real(target))

    def symlink(self, target, source):
        os.symlink(source, self.real(target))

    def readlink(self, path):
        return os.readlink(self.real(path))

    def mknod(self, path, mode, dev):
        os.mknod(self.real(path), mode, dev)

    def chmod(self, path, mode):
        os.chmod(self.real(path), mode, follow_symlinks=False)

    def chown(self, path, uid, gid):
        os.chown(self.real(path), uid, gid, follow_symlinks=False)

    def utimens(self, path, times=None):
        if times is None:
            os.utime(self.real(path), follow_symlinks=False)
        else:
            os.utime(self.real(path), ns=tuple(int(t * 1e9) for t in times),
                     follow_symlinks=False)

    def getxattr(self, path, name, position=0):
        return os.getxattr(self.real(path), name, follow_symlinks=False)

    def listxattr(self, path):
        return os.listxattr(self.real(path), follow_symlinks=False)

    def setxattr(self, path, name, value, options, position=0):
        os.setxattr(self.real(path), name, value, options, follow_symlinks=False)

    def removexattr(self, path, name):
        os.removexattr(self.real(path), name, follow_symlinks=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("backing")
    parser.add_argument("mountpoint")
    parser.add_argument("--delay-ms", type=float, default=1.0)
    options = parser.parse_args()
    # Requests answered at once wait at once: a thread whose wait is over
    # takes the interpreter within 0.1 ms, not the default 5 ms.
    sys.setswitchinterval(0.0001)
    # hard_remove: a file removed while open is removed, as on a share, not
    # renamed to a hidden name until closed.
    FUSE(SlowPassthrough(os.path.abspath(options.backing), options.delay_ms / 1000),
         options.mountpoint, foreground=True, nothreads=False, hard_remove=True)


if __name__ == "__main__":
    main()
