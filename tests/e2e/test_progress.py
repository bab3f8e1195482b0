"""The status line: on standard error when it is a terminal (here a
pseudo-terminal), redrawn at most four times a second and cleared before
the summary; never on standard output or in the logs, and absent when
standard error is a file or the run is /Silent."""
import os
import pty
import subprocess
import time
import unittest

from velmox_e2e import OPTIONS, WINDOWS, ScratchCase, main


@unittest.skipIf(WINDOWS, "Linux build only: a pseudo-terminal of this machine")
class ProgressTest(ScratchCase):
    def setUp(self):
        super().setUp()
        for i in range(200):
            self.write(f"src/d{i % 10}/f{i:03}", b"x" * 1000)
        self.write("src/big", os.urandom(8 << 20))

    def arguments(self, *more):
        return [OPTIONS.exe, "/Source:" + self.path("src"), "/Dest:" + self.path("dst"),
                "/SubDirectories", "/CreateDestinationDirectory", "/CopyBufferSize:64",
                "/Log:" + self.path("run.log")] + list(more)

    def run_on_terminal(self, *more):
        """Runs velmox with standard error on a pseudo-terminal; returns what
        the terminal received, standard output and the elapsed seconds."""
        master, slave = pty.openpty()
        started = time.monotonic()
        with open(self.path("stdout"), "wb") as stdout:
            process = subprocess.Popen(self.arguments(*more), stdin=subprocess.DEVNULL,
                                       stdout=stdout, stderr=slave)
        os.close(slave)
        received = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the other side is closed
                break
            if not chunk:
                break
            received += chunk
        process.wait(timeout=120)
        os.close(master)
        return received, self.read("stdout"), time.monotonic() - started, process.returncode

    def test_the_line_is_drawn_on_a_terminal_only_and_cleared(self):
        terminal, stdout, seconds, status = self.run_on_terminal()
        self.assertEqual(status, 0)
        self.assertIn(b"files 0 of 1, ", terminal)
        self.assertIn(b" MB/s", terminal)
        draws = terminal.split(b"\r")[1:]
        self.assertLessEqual(len(draws), 2 + 2 * (4 * seconds + 1))  # each draw, then the clearing
        self.assertTrue(terminal.endswith(b"\r"))
        self.assertEqual(terminal.split(b"\r")[-2].strip(b" "), b"")  # blanked before the summary
        for output in (stdout, self.read("run.log")):
            self.assertNotIn(b"MB/s", output)
            self.assertIn(b"Files          : 201", output)

        terminal, stdout, seconds, status = self.run_on_terminal("/Silent", "/Overwrite")
        self.assertEqual((terminal, status), (b"", 0))

        with open(self.path("stderr"), "wb") as stderr:
            done = subprocess.run(self.arguments("/Overwrite"), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=stderr, timeout=120)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(self.read("stderr"), b"")


if __name__ == "__main__":
    main()
