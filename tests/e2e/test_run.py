"""Whole runs of the built program on real trees, on both builds."""
import os
import re
import unittest

from velmox_e2e import (DASHES, ERR_LINE, SEP, WINDOWS, ScratchCase, exit_status, host_path,
                        line, lines_of, main, prepared, run)

PRIVILEGES = b"".join(
    line(f"Try to set {name} privilege for current process.")
    + line(f"Set privilege {name} successfully.")
    for name in ["SeRestorePrivilege", "SeBackupPrivilege", "SeSecurityPrivilege"])


def settings_lines(source, destination, silent="No", subdirectories="No", create="No"):
    return b"".join([
        line("Source                    : " + source),
        line("Destination               : " + destination),
        line("Overwrite                 : No"),
        line("OnlyNewer                 : No"),
        line("SecurityDescriptor        : No"),
        line("SubDirectories            : " + subdirectories),
        line("Silent                    : " + silent),
        line("CreateDestinationDirectory: " + create),
        line("StopAtFirstError          : No"),
        line("CopyBufferSize            : 512"),
        DASHES,
    ])


def summary_lines(directories, files, new, errors, size, for_log=False):
    kb = size >> 10
    text = [b"\r\n" + DASHES,
            line(f"Directories    : {directories}"), line(f"Files          : {files}"),
            line(f"   -new        : {new}"), line("   -newer      : 0"),
            line("   -overwritten: 0"), line(f"Errors         : {errors}"),
            line(f"Size (Byte)    : {size}"), line(f"Size (KB)      : {kb}")]
    return b"".join(text)


ELAPSED = re.compile(rb"Elapsed time   : \d\d:\d\d:\d\d\r\n$")


class WholeRunTest(ScratchCase):
    def setUp(self):
        super().setUp()
        self.write("src/a.txt", b"a" * 1500)
        self.write("src/sub/b.txt", b"")
        os.makedirs(self.path("dst"))

    def arguments(self, *more):
        return ["/Source:" + host_path(self.path("src")), "/Dest:" + host_path(self.path("dst")),
                "/SubDirectories", "/Log:" + host_path(self.path("run.log")),
                "/ErrorLog:" + host_path(self.path("run.err"))] + list(more)

    def test_worked_example_with_settings_privileges_and_summary(self):
        output, status = run(self.arguments())
        self.assertEqual(status, 0)
        source, destination = prepared(self.path("src")), prepared(self.path("dst"))
        settings = settings_lines(source, destination, subdirectories="Yes")
        head = DASHES + line("Velmox 3.0") + DASHES + settings + PRIVILEGES + DASHES
        self.assertTrue(output.startswith(head), output[:2000])
        walk = output[len(head):]
        a_line = line(f"FILE 00000{{}}: {source}{SEP}a.txt (1 KB)")
        sub_lines = line(f"DIR  000002: {source}{SEP}sub") + line(
            f"FILE 00000{{}}: {source}{SEP}sub{SEP}b.txt (0 KB)")
        first = line(f"DIR  000001: {source}")
        orders = [first + a_line.replace(b"{}", b"1") + sub_lines.replace(b"{}", b"2"),
                  first + sub_lines.replace(b"{}", b"1") + a_line.replace(b"{}", b"2")]
        self.assertTrue(any(walk.startswith(order) for order in orders), walk)
        summary = summary_lines(2, 2, 2, 0, 1500)
        self.assertIn(summary + line("Size (MB)      : 0.00") + line("Size (GB)      : 0.00")
                      + b"\r\n", walk)
        self.assertRegex(walk, ELAPSED)
        self.assertEqual(self.read("dst/a.txt"), b"a" * 1500)
        self.assertEqual(self.read("dst/sub/b.txt"), b"")
        # The log: settings lines 4 to 14, the walk, the summary without the
        # console's empty line.
        log = self.read("run.log")
        self.assertTrue(log.startswith(settings + walk[:walk.index(b"\r\n\r\n") + 2]), log)
        self.assertNotIn(b"privilege", log)
        self.assertNotIn(b"\r\n\r\nElapsed", log)
        self.assertEqual(self.read("run.err"), b"")

    def test_silent_run_keeps_the_console_empty_and_still_logs(self):
        output, status = run(self.arguments("/Silent"))
        self.assertEqual((output, status), (b"", 0))
        log = self.read("run.log")
        self.assertIn(line("Silent                    : Yes"), log)
        self.assertIn(summary_lines(2, 2, 2, 0, 1500), log)

    def test_exit_code_is_the_error_count_and_err_lines_reach_every_sink(self):
        for name in ["x", "y", "z"]:
            os.makedirs(self.path("src", name))
            os.makedirs(self.path("dst", name))  # refused without /Overwrite
        output, status = run(self.arguments())
        self.assertEqual(status, exit_status(3))
        errors = [l for l in lines_of(output) if l.startswith(b"ERR")]
        self.assertEqual(len(errors), 3)
        for number, err in enumerate(sorted(errors), 1):
            match = ERR_LINE.match(err)
            self.assertIsNotNone(match, err)
            self.assertEqual(int(match.group(1)), number)
            self.assertEqual(match.group(4), b"CreateDirectory(DESTINATION-DIR)")
            self.assertEqual(match.group(5), b"183")
        self.assertEqual(sorted(lines_of(self.read("run.err"))), sorted(errors))
        self.assertIn(line("Errors         : 3"), self.read("run.log"))

    def test_missing_destination_root_without_create(self):
        output, status = run(["/Source:" + host_path(self.path("src")),
                              "/Dest:" + host_path(self.path("nowhere")), "/Silent",
                              "/ErrorLog:" + host_path(self.path("run.err"))])
        self.assertEqual((output, status), (b"", exit_status(1)))
        match = ERR_LINE.match(lines_of(self.read("run.err"))[0])
        self.assertEqual(match.group(2), prepared(self.path("src")).encode())
        self.assertEqual(match.group(4), b"CreateFile(DESTINATION-DIR)")

    def test_unicode_names_in_every_sink(self):
        self.write("src/caf\u00e9/\u0416.txt", b"x")
        output, status = run(self.arguments())
        self.assertEqual(status, 0)
        source = prepared(self.path("src")).encode()
        sep = SEP.encode()
        self.assertRegex(output, rb"DIR  00000\d: " + re.escape(source + sep + b"caf\xe9\r\n"))
        self.assertIn(source + sep + b"caf\xe9" + sep + b"<U+0416>.txt (0 KB)\r\n", output)
        self.assertIn(source + sep + b"caf\xe9" + sep + b"<U+0416>.txt (0 KB)\r\n",
                      self.read("run.log"))
        self.assertEqual(self.read("dst/caf\u00e9/\u0416.txt"), b"x")


class SummarySizeTest(ScratchCase):
    def copy_one(self, size):
        with open(self.write("src/f"), "r+b") as sparse:
            sparse.truncate(size)
        output, status = run(["/Source:" + host_path(self.path("src")),
                              "/Dest:" + host_path(self.path("dst")), "/CreateDestinationDirectory",
                              "/CopyBufferSize:4096"])
        self.assertEqual(status, 0, output[-2000:])
        self.assertEqual(os.path.getsize(self.path("dst/f")), size)
        return output

    def test_128_kb(self):
        output = self.copy_one(131072)
        self.assertIn(line("Size (Byte)    : 131072") + line("Size (KB)      : 128")
                      + line("Size (MB)      : 0.13") + line("Size (GB)      : 0.00"), output)

    def test_3_gb(self):
        output = self.copy_one(3221225472)
        self.assertIn(line("Size (Byte)    : 3221225472") + line("Size (KB)      : 3145728")
                      + line("Size (MB)      : 3072.00") + line("Size (GB)      : 3.00"), output)
        self.assertIn(b"(3145728 KB)", output)


if __name__ == "__main__":
    main()
