"""The status line: on standard error when it is a terminal (here a
pseudo-terminal that standard output shares), within the terminal's width,
erased before each console line and drawn again after it, redrawn at most
four times a second and cleared before the summary; never on standard
output or in the logs, and absent when standard error is a file or the run
is /Silent."""
import fcntl
import os
import pty
import re
import struct
import subprocess
import termios
import time
import unittest

from velmox_e2e import OPTIONS, ScratchCase, host_path, main

# Wine draws a console on a terminal with control sequences of its own: the
# cursor hidden and shown, and the rest of a line erased.
SEQUENCE = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


def screen(received, columns):
    """The lines a terminal of `columns` columns shows after `received`:
    a carriage return goes back to the line's start, a line feed to the
    next line, and a character written past the last column wraps."""
    lines, current, column = [], [], 0
    received = received.replace(b"\x1b[K", b"\x00")
    for byte in SEQUENCE.sub(b"", received).decode("latin-1"):
        if byte == "\x00":
            del current[column:]
        elif byte == "\r":
            column = 0
        elif byte == "\n":
            lines.append("".join(current).rstrip(" "))
            current, column = [], 0
        else:
            if column == columns:
                lines.append("".join(current))
                current, column = [], 0
            if column < len(current):
                current[column] = byte
            else:
                current.append(byte)
            column += 1
    return lines, "".join(current).rstrip(" ")


def draws(received):
    """Each text the status line drew."""
    return [d for d in SEQUENCE.sub(b"", received).split(b"\r") if d.startswith(b"files ")]


class ProgressTest(ScratchCase):
    def setUp(self):
        super().setUp()
        for i in range(200):
            self.write(f"src/d{i % 10}/f{i:03}", b"x" * 1000)
        self.write("src/big", os.urandom(8 << 20))

    def arguments(self, *more):
        return ([OPTIONS.runner] if OPTIONS.runner else []) + [
            OPTIONS.exe, "/Source:" + host_path(self.path("src")),
            "/Dest:" + host_path(self.path("dst")), "/SubDirectories",
            "/CreateDestinationDirectory", "/CopyBufferSize:64",
            "/Log:" + host_path(self.path("run.log"))] + list(more)

    def run_on_terminal(self, *more, columns=80, stdout_too=True):
        """Runs velmox with standard error (and standard output) on a
        pseudo-terminal of `columns` columns; returns what the terminal
        received, the elapsed seconds and the exit status."""
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        started = time.monotonic()
        with open(self.path("stdout"), "wb") as stdout:
            process = subprocess.Popen(self.arguments(*more), stdin=subprocess.DEVNULL,
                                       stdout=slave if stdout_too else stdout, stderr=slave,
                                       env=dict(os.environ, WINEDEBUG="-all"))
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
        return received, time.monotonic() - started, process.returncode

    def test_console_lines_never_meet_the_status_line_at_any_width(self):
        for columns in (40, 200):
            terminal, seconds, status = self.run_on_terminal("/Overwrite", columns=columns)
            self.assertEqual(status, 0)
            lines, last = screen(terminal, columns)
            self.assertEqual(last, "")  # cleared at the end
            files = [l for l in lines if l.startswith("FILE ")]
            self.assertEqual(len(files), 201, columns)
            for shown in lines:  # whole console lines only: no status text left among them
                self.assertNotIn("files ", shown.split(": ", 1)[0], (columns, shown))
            for draw in draws(terminal):
                self.assertLess(len(draw.rstrip(b" ")), columns, draw)
            # The percent shows once the count ahead of the walk is done.
            self.assertRegex(terminal, rb"files 0 of [0-9]+( \(0%\))?, ")

    def test_drawn_on_a_terminal_only_at_most_four_times_a_second(self):
        terminal, seconds, status = self.run_on_terminal(stdout_too=False)
        self.assertEqual(status, 0)
        self.assertLessEqual(len(draws(terminal)), 2 + 2 * (4 * seconds + 1))
        self.assertEqual(screen(terminal, 80), ([], ""))
        for output in (self.read("stdout"), self.read("run.log")):
            self.assertNotIn(b"files 0 of", output)
            self.assertIn(b"Files          : 201", output)

        # A console line for each of 20,000 files on the same terminal: the
        # line is still drawn at most four times a second, and a count ahead
        # of the walk gives the percent and the time left long before its end.
        for i in range(20000):
            self.write(f"src/many/d{i % 100}/f{i}", b"")
        terminal, seconds, status = self.run_on_terminal("/Overwrite")
        self.assertEqual(status, 0)
        drawn = draws(terminal)
        self.assertLessEqual(len(drawn), 2 + 4 * seconds + 1, seconds)
        self.assertTrue(any(b"(" in d and b"%)" in d for d in drawn[:len(drawn) // 2 + 1]), drawn)
        if seconds >= 1:  # rates are taken over half a second at least
            self.assertTrue(any(b" left" in d for d in drawn[:len(drawn) // 2 + 1]), drawn)

        terminal, seconds, status = self.run_on_terminal("/Silent", "/Overwrite")
        self.assertEqual((SEQUENCE.sub(b"", terminal), status), (b"", 0))

        with open(self.path("stderr"), "wb") as stderr:
            done = subprocess.run(self.arguments("/Overwrite"), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=stderr, timeout=120)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(self.read("stderr"), b"")


if __name__ == "__main__":
    main()
