"""Runs the built program with real argument vectors, for both builds.

`--exe PATH` names velmox or velmox.exe; `--target windows|linux` says which
it is; `--runner PROGRAM` (Wine, for velmox.exe on Linux) starts it, with
Linux paths handed over as Wine's Z: drive sees them. Without a runner the
program runs natively, on Linux or on Windows itself.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--exe", required=True)
_parser.add_argument("--target", choices=["windows", "linux"], default="linux")
_parser.add_argument("--runner")
OPTIONS, _rest = _parser.parse_known_args()
sys.argv = sys.argv[:1] + _rest

WINDOWS = OPTIONS.target == "windows"
WINE = WINDOWS and os.name != "nt"  # velmox.exe run by Wine from Linux
DASHES = b"-" * 43 + b"\r\n"
SEP = "\\" if WINDOWS else "/"


def host_path(path):
    """A path of this machine as the program under test takes it."""
    if WINE:
        return "Z:" + path.replace("/", "\\")
    return path.replace("/", "\\") if WINDOWS else path


def skip_under_wine(reason):
    """Skips a test that needs what Windows has and Wine lacks."""
    return unittest.skipIf(WINE, "Wine lacks " + reason)


def prepared(path):
    """The prepared root path the program shows for a Linux path."""
    return "\\\\?\\" + host_path(path) if WINDOWS else path


def start(arguments, **kwargs):
    """Starts the program; returns the subprocess.Popen."""
    command = [OPTIONS.exe] + list(arguments)
    env = dict(os.environ)
    if OPTIONS.runner:
        command = [OPTIONS.runner] + command
    if WINE:
        env.setdefault("WINEDEBUG", "-all")
        env["LANG"] = "C.UTF-8"
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, **kwargs)


def run(arguments, timeout=600, **kwargs):
    """Runs the program; returns (stdout bytes, exit status)."""
    with start(arguments, **kwargs) as process:
        try:
            stdout, _ = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            raise
    return stdout, process.returncode


def exit_status(result):
    """The status this machine reports for Main's result, on either build."""
    if WINE:
        return result & 0xFF  # Linux sees the low byte of the Windows code
    if WINDOWS:
        return result & 0xFFFFFFFF
    return 255 if result < 0 else min(result, 254)


def line(text):
    """A line as the sinks write it."""
    return text.encode("latin-1") + b"\r\n"


ERR_LINE = re.compile(rb"^ERR  (\d{6,}): (.*): (.*) at (.*) \((-?\d+)\)$")


def lines_of(output):
    assert output.endswith(b"\r\n") or output == b"", output[-40:]
    return output.split(b"\r\n")[:-1] if output else []


def remove_tree(path):
    """Removes a tree of any depth, on the machine the tests run on."""
    if os.name == "nt":
        # The extended-length form lifts the 260-unit limit of deep trees.
        shutil.rmtree("\\\\?\\" + os.path.abspath(path), ignore_errors=True)
    else:
        # rm copes with trees deeper than Python's recursion limit.
        subprocess.run(["rm", "-rf", path], check=False)


class ScratchCase(unittest.TestCase):
    """A fresh temporary directory per test."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="velmox-e2e-")
        self.addCleanup(remove_tree, self.root)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, relative, data=b""):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as out:
            out.write(data)
        return full

    def read(self, relative):
        with open(self.path(relative), "rb") as source:
            return source.read()


def main():
    """unittest, closing with one 'N passed, N failed' line."""
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    failed = len(result.failures) + len(result.errors)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    sys.exit(1 if failed else 0)
