"""Stopping a run: SIGINT, SIGTERM (and Ctrl-C under Wine, which delivers
SIGINT as one) end the run by itself with the open file marked incomplete,
and an /OnlyNewer rerun makes the copy equal to the source."""
import filecmp
import os
import signal
import time
import unittest

from velmox_e2e import (ERR_LINE, WINDOWS, ScratchCase, host_path, lines_of, main, remove_tree,
                        run, start)

BIG = 256 << 20


@unittest.skipIf(os.name == "nt", "Ctrl-C reaches only processes sharing the test's console")
class StopTest(ScratchCase):
    def arguments(self, *more):
        return ["/Source:" + host_path(self.path("src")), "/Dest:" + host_path(self.path("dst")),
                "/SubDirectories", "/CreateDestinationDirectory", "/Silent",
                "/Log:" + host_path(self.path("run.log")),
                "/ErrorLog:" + host_path(self.path("run.err"))] + list(more)

    def test_a_signal_ends_the_run_safely_and_a_rerun_repairs_it(self):
        signals = [signal.SIGINT] if WINDOWS else [signal.SIGINT, signal.SIGTERM]
        for number in signals:
            with self.subTest(signal=number.name):
                remove_tree(self.path("src"))
                remove_tree(self.path("dst"))
                os.makedirs(self.path("src/sub"))
                with open(self.path("src/big"), "wb") as big:
                    for _ in range(BIG // (1 << 20)):  # data, not holes: slow in 4 KB chunks
                        big.write(b"\xa5" * (1 << 20))
                self.write("src/sub/small", b"small")
                process = start(self.arguments("/CopyBufferSize:4"))  # many small chunks
                deadline = time.monotonic() + 60
                while not os.path.exists(self.path("dst/big")) and time.monotonic() < deadline:
                    time.sleep(0.01)
                # Held still while the signal is delivered, so it lands
                # mid-copy however fast the machine.
                process.send_signal(signal.SIGSTOP)
                process.send_signal(number)
                process.send_signal(signal.SIGCONT)
                process.communicate(timeout=120)
                self.assertEqual(process.returncode, 1)
                [error] = [ERR_LINE.match(l).groups() for l in lines_of(self.read("run.err"))]
                self.assertEqual(error[4], b"995")
                self.assertIn(error[3], [b"CopyOneFile:Interrupted(DESTINATION)",
                                         b"CopyOneDirectory:Interrupted(SOURCE-DIR)"])
                log = self.read("run.log")
                self.assertIn(b"Errors         : 1\r\n", log)
                self.assertIn(b"Elapsed time", log)
                if error[3].startswith(b"CopyOneFile"):
                    self.assertLess(os.path.getsize(self.path("dst/big")), BIG)
                    self.assertEqual(os.stat(self.path("dst/big")).st_mtime, 315532800)  # 1980

                output, status = run(self.arguments("/OnlyNewer"))
                self.assertEqual(status, 0, self.read("run.err"))
                self.assertTrue(filecmp.cmp(self.path("src/big"), self.path("dst/big"),
                                            shallow=False))
                self.assertEqual(self.read("dst/sub/small"), b"small")


if __name__ == "__main__":
    main()
