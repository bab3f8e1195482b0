"""Stopping a run: SIGINT, SIGTERM (and Ctrl-C under Wine, which delivers
SIGINT as one) end the run by itself, and SIGKILL ends it at once; either
way every destination name holds its old file or its complete new one,
never a cut or half-written one (a file written at its name in a directory
the run made is removed when the run stops), and a rerun completes the copy
and removes any temporary file left behind."""
import filecmp
import glob
import os
import signal
import time
import unittest

from velmox_e2e import (ERR_LINE, WINDOWS, ScratchCase, host_path, lines_of, main, remove_tree,
                        run, start)

BIG = 256 << 20
OLD = b"the old version of big"


@unittest.skipIf(os.name == "nt", "Ctrl-C reaches only processes sharing the test's console")
class StopTest(ScratchCase):
    def arguments(self, *more):
        return ["/Source:" + host_path(self.path("src")), "/Dest:" + host_path(self.path("dst")),
                "/SubDirectories", "/CreateDestinationDirectory", "/Silent",
                "/Log:" + host_path(self.path("run.log")),
                "/ErrorLog:" + host_path(self.path("run.err"))] + list(more)

    def prepare(self, with_old_copy):
        remove_tree(self.path("src"))
        remove_tree(self.path("dst"))
        os.makedirs(self.path("src/sub"))
        with open(self.path("src/big"), "wb") as big:
            for _ in range(BIG // (1 << 20)):  # data, not holes: slow in 4 KB chunks
                big.write(b"\xa5" * (1 << 20))
        self.write("src/sub/small", b"small")
        if with_old_copy:
            os.makedirs(self.path("dst"))
            self.write("dst/big", OLD)

    def temporaries(self):
        return glob.glob(os.path.join(self.path("dst"), "**", ".velmox~*"), recursive=True)

    def writing(self, process):
        """Whether the copy of big has begun: its temporary file is there
        (Windows), or the process holds an unnamed file in dst, or big
        itself where the run made dst and writes at the name (Linux)."""
        if self.temporaries():
            return True
        copy = os.path.realpath(self.path("dst"))
        try:
            for fd in os.listdir("/proc/%d/fd" % process.pid):
                held = os.readlink("/proc/%d/fd/%s" % (process.pid, fd))
                if held.startswith(copy + "/#") or held == copy + "/big":
                    return True
        except OSError:
            pass
        return False

    def interrupt(self, number, more):
        process = start(self.arguments("/CopyBufferSize:4", *more))  # many small chunks
        deadline = time.monotonic() + 60
        while not self.writing(process) and time.monotonic() < deadline:
            time.sleep(0.01)
        # Held still while the signal is delivered, so it lands mid-copy
        # however fast the machine.
        process.send_signal(signal.SIGSTOP)
        process.send_signal(number)
        process.send_signal(signal.SIGCONT)
        process.communicate(timeout=120)
        return process.returncode

    def test_an_interrupted_run_leaves_old_or_new_files_and_a_rerun_completes(self):
        signals = [signal.SIGINT] if WINDOWS else [signal.SIGINT, signal.SIGTERM]
        cases = [(number, overwrite) for number in signals for overwrite in (False, True)]
        if not WINDOWS:
            cases.append((signal.SIGKILL, True))
        for number, overwrite in cases:
            with self.subTest(signal=number.name, overwrite=overwrite):
                self.prepare(overwrite)
                status = self.interrupt(number, ["/Overwrite"] if overwrite else [])
                if overwrite:
                    self.assertEqual(self.read("dst/big"), OLD)
                else:
                    self.assertFalse(os.path.exists(self.path("dst/big")))
                if number != signal.SIGKILL:
                    self.assertEqual(status, 1)
                    [error] = [ERR_LINE.match(l).groups() for l in lines_of(self.read("run.err"))]
                    self.assertEqual(error[4], b"995")
                    self.assertIn(error[3], [b"CopyOneFile:Interrupted(DESTINATION)",
                                             b"CopyOneDirectory:Interrupted(SOURCE-DIR)"])
                    log = self.read("run.log")
                    self.assertIn(b"Errors         : 1\r\n", log)
                    self.assertIn(b"Elapsed time", log)
                    self.assertEqual(self.temporaries(), [])

                output, status = run(self.arguments("/Overwrite" if overwrite else "/OnlyNewer"))
                self.assertEqual(status, 0, self.read("run.err"))
                self.assertTrue(filecmp.cmp(self.path("src/big"), self.path("dst/big"),
                                            shallow=False))
                self.assertEqual(self.read("dst/sub/small"), b"small")
                self.assertEqual(self.temporaries(), [])

    def test_a_rerun_removes_leftovers_but_not_a_source_file_of_that_name(self):
        self.prepare(False)
        leftover = ".velmox~00000000000000ab.tmp"
        kept = ".velmox~00000000000000cd.tmp"
        self.write("src/" + kept, b"a source file")
        os.makedirs(self.path("dst/sub"))
        for name in ("dst/" + leftover, "dst/sub/" + leftover, "dst/" + kept):
            self.write(name, b"left by a killed run")
        if not WINDOWS:
            # And the killed run's mark: an hour before now, in FILETIME ticks.
            ticks = int((time.time() - 3600) * 10_000_000) + 116_444_736_000_000_000
            os.setxattr(self.path("dst"), "trusted.velmox.running.00000000000000ab",
                        ticks.to_bytes(8, "little"))
        output, status = run(self.arguments("/Overwrite"))
        self.assertEqual(status, 0, self.read("run.err"))
        self.assertEqual(sorted(os.path.basename(p) for p in self.temporaries()), [kept])
        self.assertEqual(self.read("dst/" + kept), b"a source file")


if __name__ == "__main__":
    main()
