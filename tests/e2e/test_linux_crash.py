"""Done means on disk, and a crash at any moment is repaired by one rerun:
on an ext4 and an XFS volume in a loop file, shut down the way a power cut
leaves them (xfs_io's shutdown), rsync compares every byte afterwards."""
import os
import random
import signal
import subprocess
import time
import unittest

from velmox_e2e import OPTIONS, WINDOWS, ScratchCase, main, run, start

# ext4 commits its journal every five seconds: a run killed and held this
# long has its names and times on disk, though not always its data.
JOURNAL_COMMIT_SECONDS = 6


def sanitized():
    with open(OPTIONS.exe, "rb") as program:
        image = program.read()
    return b"__asan_init" in image or b"__tsan_init" in image


@unittest.skipIf(WINDOWS, "Linux build only")
@unittest.skipUnless(os.geteuid() == 0, "loop volumes need root")
@unittest.skipIf(not WINDOWS and sanitized(), "a timing test; the plain build runs it")
class CrashTest(ScratchCase):
    def make_volume(self, kind):
        image = self.path(kind + ".img")
        with open(image, "wb") as out:
            out.truncate(320 << 20)
        mkfs = ["mkfs.ext4", "-q", "-F"] if kind == "ext4" else ["mkfs.xfs", "-q", "-f"]
        subprocess.run(mkfs + [image], check=True, capture_output=True)
        self.mountpoint = self.path(kind)
        os.mkdir(self.mountpoint)
        self.image = image
        self.mount()
        self.addCleanup(lambda: subprocess.run(["umount", self.mountpoint], capture_output=True))

    def mount(self):
        done = subprocess.run(["mount", "-o", "loop", self.image, self.mountpoint],
                              capture_output=True)
        if done.returncode != 0:
            self.skipTest("cannot mount a loop volume here: " + done.stderr.decode())

    def power_cut(self):
        """Shuts the volume down with what is not on disk lost, then mounts
        it again."""
        subprocess.run(["xfs_io", "-x", "-c", "shutdown", self.mountpoint], check=True)
        subprocess.run(["umount", self.mountpoint], check=True)
        self.mount()

    def make_source(self, files):
        rng = random.Random(files)
        for i in range(files):
            self.write(f"src/d{i % 30}/f{i}", bytes([i % 251]) * rng.randrange(1, 24 << 10))

    def arguments(self, *more):
        return ["/Source:" + self.path("src"), "/Dest:" + os.path.join(self.mountpoint, "dst"),
                "/SubDirectories", "/CreateDestinationDirectory", "/OnlyNewer",
                "/Silent"] + list(more)

    def differences(self):
        done = subprocess.run(["rsync", "-ani", "--checksum", "--delete",
                               self.path("src") + "/", os.path.join(self.mountpoint, "dst") + "/"],
                              check=True, capture_output=True)
        return done.stdout.decode().splitlines()

    def killed_run(self, *more):
        process = start(self.arguments(*more))
        time.sleep(random.uniform(0.05, 0.6))
        process.send_signal(signal.SIGKILL)
        process.communicate()
        time.sleep(JOURNAL_COMMIT_SECONDS)

    def check_volume(self, kind):
        self.make_volume(kind)
        # A run that has ended survives a power cut right after it.
        self.make_source(400)
        self.assertEqual(run(self.arguments())[1], 0)
        self.power_cut()
        self.assertEqual(self.differences(), [], kind + ": an ended run")

        # Runs cut at random points are each repaired by one rerun.
        self.make_source(3000)
        for attempt in range(2):
            subprocess.run(["rm", "-rf", os.path.join(self.mountpoint, "dst")], check=True)
            subprocess.run(["sync"], check=True)
            self.killed_run()
            self.power_cut()
            self.assertEqual(run(self.arguments())[1], 0)
            self.assertEqual(self.differences(), [], f"{kind}: repaired after cut {attempt}")

        # With /Flush no name is left whose data was lost: nothing to repair.
        subprocess.run(["rm", "-rf", os.path.join(self.mountpoint, "dst")], check=True)
        subprocess.run(["sync"], check=True)
        self.killed_run("/Flush")
        self.power_cut()
        copy = os.path.join(self.mountpoint, "dst")
        damaged = []
        for directory, _, names in os.walk(copy):
            for name in names:
                kept = os.path.join(directory, name)
                with open(kept, "rb") as a, open(self.path("src", os.path.relpath(kept, copy)),
                                                 "rb") as b:
                    if a.read() != b.read():
                        damaged.append(kept)
        self.assertEqual(damaged, [], kind + ": /Flush")

    def test_ext4(self):
        self.check_volume("ext4")

    def test_replaced_files_keep_a_whole_version_through_a_power_cut(self):
        """XFS does not flush a file renamed over another: a night that
        replaces good copies and is cut mid-way must leave each name with its
        old or its new version, whole, never an empty or cut file."""
        self.make_volume("xfs")
        versions = {}
        for night in ("old", "new"):
            for i in range(1000):
                data = f"{night} {i} ".encode() * (50 + i % 200)
                versions.setdefault(f"d{i % 20}/f{i}", []).append(data)
                self.write(f"src/d{i % 20}/f{i}", data)
            if night == "old":
                self.assertEqual(run(self.arguments())[1], 0)
                subprocess.run(["sync"], check=True)
        process = start(self.arguments())
        time.sleep(random.uniform(0.05, 0.2))
        # The log is flushed as a long night's would be by then: every
        # rename made so far is on disk, whatever its data.
        subprocess.run(["xfs_io", "-x", "-c", "shutdown -f", self.mountpoint], check=True)
        process.send_signal(signal.SIGKILL)
        process.communicate()
        subprocess.run(["umount", self.mountpoint], check=True)
        self.mount()
        lost = []
        for name, (old, new) in versions.items():
            with open(os.path.join(self.mountpoint, "dst", name), "rb") as kept:
                if kept.read() not in (old, new):
                    lost.append(name)
        self.assertEqual(lost, [], f"{len(lost)} names hold neither version whole")

    def test_xfs(self):
        self.check_volume("xfs")


def run_marks(directory):
    return [name for name in os.listxattr(directory) if name.startswith("trusted.velmox.running")]


@unittest.skipIf(WINDOWS, "Linux build only")
@unittest.skipUnless(os.geteuid() == 0, "trusted.* marks need root")
@unittest.skipIf(not WINDOWS and sanitized(), "a timing test; the plain build runs it")
class SharedReplicaTest(ScratchCase):
    """Two jobs on one replica: one ending while the other writes takes only
    its own running mark, so the cut job's rerun still repairs what it cut."""

    def test_a_job_ending_leaves_a_cut_jobs_repair_to_it(self):
        for i in range(10000):
            self.write(f"src/big/f{i:05}", bytes([i % 251]) * 512)
        self.write("src/small/s", b"small")
        common = ["/Source:" + self.path("src"), "/Dest:" + self.path("dst"), "/SubDirectories",
                  "/CreateDestinationDirectory", "/OnlyNewer", "/Silent"]
        job_a = start(common + ["/Exclude:small"])
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and job_a.poll() is None:
            if os.path.isdir(self.path("dst")) and run_marks(self.path("dst")) and \
                    os.path.isdir(self.path("dst/big")) and len(os.listdir(self.path("dst/big"))) > 10:
                break
            time.sleep(0.001)
        job_a.send_signal(signal.SIGSTOP)
        if job_a.poll() is not None:
            self.skipTest("job A ended before it could be stopped")
        self.assertEqual(run(common + ["/Exclude:big"]), (b"", 0))
        self.assertEqual(len(run_marks(self.path("dst"))), 1)  # A's, not taken by B
        job_a.send_signal(signal.SIGKILL)
        job_a.communicate()
        # What a crash leaves of a file A was writing: its name, a later
        # time, not its data.
        cut = self.path("dst/big", sorted(os.listdir(self.path("dst/big")))[0])
        os.truncate(cut, 0)
        os.utime(cut)
        self.assertEqual(run(common + ["/Exclude:small"]), (b"", 0))
        with open(cut, "rb") as copy, open(self.path("src/big", os.path.basename(cut)), "rb") as source:
            self.assertEqual(copy.read(), source.read())
        self.assertEqual(run_marks(self.path("dst")), [])


if __name__ == "__main__":
    main()
