"""A replica kept night after night with /Mirror /OnlyNewer: after every run
rsync finds nothing to carry over or delete, and a source that is not there
(missing, or an empty mount point) removes nothing."""
import os
import shutil
import subprocess
import unittest

from velmox_e2e import WINDOWS, ScratchCase, lines_of, main, run


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


if __name__ == "__main__":
    main()
