"""The command line of the built program: usage, validation, exit codes."""
import os
import tempfile
import unittest

from velmox_e2e import (DASHES, WINDOWS, ScratchCase, exit_status, host_path, line, lines_of,
                        main, run)

USAGE = b"".join([
    DASHES,
    line("Velmox 3.0"),
    DASHES,
    line("Usage           : Velmox [<Parameter> ...]"),
    line("                        /Source:<Source path>"),
    line("                        /Dest:<Destination path>"),
    line("                        /Log:<Logfile path and name>"),
    line("                        /ErrorLog:<Logfile path and name>"),
    line("                        /Overwrite  (= overwrites all files/directories"),
    line("                        /OnlyNewer  (= copies only new or newer files/directories)"),
    line("                        /SecurityDescriptor"),
    line("                        /SubDirectories"),
    line("                        /Silent"),
    line("                        /CreateDestinationDirectory"),
    line("                        /StopAtFirstError"),
    line("                        /CopyBufferSize:<Size of copy buffer in KB>"),
    line("Returns         : -1 = Fatal Error, else number of errors logged in errorlogfile"),
    line("Extensions      : /HardLinks  (= a file with several names is copied once,"),
    line("                      its other names linked to that copy)"),
    line("                  /Attributes  (= file attributes; on Linux the user.*"),
    line("                      extended attributes)"),
    line("                  /Links  (= symbolic links and junctions copied as links;"),
    line("                      the default on Linux)"),
    line("                  /FollowLinks  (= links followed, what they lead to copied;"),
    line("                      the default on Windows)"),
    line("                  /Streams  (= alternate data streams; Windows only)"),
    line("                  /Specials  (= FIFOs, sockets and devices as such; Linux only)"),
    line("                  /Backup  (= /SubDirectories /SecurityDescriptor /Links"),
    line("                      /HardLinks /Attributes /Streams /Specials)"),
    line("                  /Mirror  (= removes what the source no longer has)"),
    line("                  /List  (= shows what a run would do, writes nothing)"),
    line("                  /Exclude:<Name or relative path, * and ? as wildcards>"),
    line("                  /Retry:<Tries again after a transient error, default 0>"),
    line("                  /Wait:<Seconds between tries, default 30>"),
    line("                  /Threads:<Files copied at once, 1 to 64, default 1>"),
    line("                  /MaxDelete:<Most entries /Mirror removes in one run,"),
    line("                      1 to 1000000>"),
    line("                  /Flush  (= each file's data made durable before it gets"),
    line("                      its name)"),
    line("                  /Recall  (= cloud placeholders and offline files read,"),
    line("                      which fetches them; Windows)"),
    line("                  /AppendLog:<Logfile kept, each run's lines added at its end>"),
    line("                  /AppendErrorLog:<Error logfile kept, each run's lines"),
    line("                      added at its end>"),
    line("                  /JsonLog:<File of one JSON record per line: start, each"),
    line("                      entry, summary>"),
    line("                  /Verify  (= compares the copy's bytes with the source's,"),
    line("                      writes nothing)"),
    line("                  /Files:<List of paths below the source, one a line (UTF-8):"),
    line("                      only they are copied>"),
    line("                  /Files0:<The same list, each path ended by a NUL>"),
    line("                  /AcceptVolume  (= the source's volumes tonight become the"),
    line("                      replica's records)"),
    line("                  /SummaryLine  (= the run's counts, exit and time in one line"),
    line("                      on standard error, even with /Silent)"),
    line("                  /Utf8  (= console and text logs in UTF-8 with LF line ends,"),
    line("                      ERR lines with the errno's name; for Linux)"),
    line("                  /History:<Folder the replaced and removed versions are"),
    line("                      moved to, a folder per run>"),
    line("                  /HistoryDays:<Days a run's folder is kept, 1 to 36500>"),
    line("                  /MaxChange:<Most files a run replaces or removes, or a"),
    line("                      percentage of the replica's (50%); more: no change>"),
    line("                  /AsOf:<Time (UTC): the source, a replica with /History:,"),
    line("                      written as it was then>"),
])

SOURCE = "/Source:" + host_path("/nonexistent-source")
DEST = "/Dest:" + host_path("/nonexistent-dest")


class UsageTest(unittest.TestCase):
    def test_no_argument_prints_the_usage_and_the_extensions_and_exits_zero(self):
        output, status = run([])
        self.assertEqual(output, USAGE)
        self.assertEqual(status, 0)

    def test_help_forms_print_the_usage_and_exit_zero(self):
        for form in ["/?", "-?", "/h", "/HELP", "-h", "--help"]:
            output, status = run([form])
            self.assertEqual(output, USAGE, form)
            self.assertEqual(status, 0, form)


class ValidationTest(unittest.TestCase):
    def check(self, arguments, expected):
        output, status = run(arguments)
        self.assertEqual(output, expected)
        self.assertEqual(status, exit_status(-1))

    def test_each_check_in_order(self):
        self.check([SOURCE], line("Need source AND destination path, aborting."))
        self.check(["/Source", DEST], line("Need source AND destination path, aborting."))
        self.check(["/Source:a", "/Dest"], line("Need source AND destination path, aborting."))
        self.check(["/Source:a", DEST],
                   line("Source or destination path too short (2 char minimum)."))
        self.check([SOURCE, DEST, "/overwrite", "/ONLYNEWER", "/CopyBufferSize:0"],
                   line("/Overwrite and /OnlyNewer must not be used at the same time."))
        for size in ["0", "abc", "", "4194304"]:
            self.check([SOURCE, DEST, "/CopyBufferSize:" + size],
                       line("Invalid copy buffer size, aborting."))

    def test_ignored_parameters_are_named_in_upper_case(self):
        output, status = run(["abc", "caf\u00e9", "\u0416x", SOURCE])
        self.assertEqual(output, line("Ignoring parameter ABC") + b"Ignoring parameter CAF\xe9\r\n"
                         + b"Ignoring parameter <U+0416>X\r\n"
                         + line("Need source AND destination path, aborting."))
        self.assertEqual(status, exit_status(-1))

    def test_wildcards_reach_the_program_unexpanded(self):
        with tempfile.TemporaryDirectory() as directory:
            open(os.path.join(directory, "stray-file"), "wb").close()
            output, status = run(["stray*", "x?y"], cwd=directory)
        self.assertEqual(output, line("Ignoring parameter STRAY*") + line("Ignoring parameter X?Y")
                         + line("Need source AND destination path, aborting."))

    @unittest.skipUnless(WINDOWS, "drive and UNC forms are Windows' own")
    def test_path_forms(self):
        self.check(["/Source:data", DEST],
                   b"Source path nor local neither UNC path, cannot identify long path prefix.")
        self.check([SOURCE, "/Dest:data"],
                   line("Destination path nor local neither UNC path, cannot identify long "
                        "path prefix."))


class ExtendedRunTest(ScratchCase):
    """A run with any extended option ends on an argument it would skip,
    before anything is opened: a mistyped preview removes nothing."""

    def test_a_mistyped_preview_changes_nothing(self):
        self.write("src/kept")
        self.write("dst/only-in-the-copy", b"x")
        roots = ["/Source:" + host_path(self.path("src")), "/Dest:" + host_path(self.path("dst")),
                 "/SubDirectories", "/OnlyNewer"]
        for typo, meant in [("/Lsit", "/List"), ("-n", "/List"), ("--dry-run", "/List")]:
            output, status = run(roots + ["/Mirror", typo, "/Log:" + host_path(self.path("run.log"))])
            self.assertEqual(output, line(f"Unknown parameter {typo} (did you mean {meant}?), aborting."))
            self.assertEqual(status, exit_status(-1))
            self.assertEqual(self.read("dst/only-in-the-copy"), b"x")
            self.assertFalse(os.path.exists(self.path("run.log")))
            self.assertFalse(os.path.exists(self.path("dst/kept")))

    @unittest.skipIf(WINDOWS, "/dev/zero is Linux's")
    def test_a_list_without_end_is_refused(self):
        self.write("src/a")
        output, status = run(["/Source:" + host_path(self.path("src")),
                              "/Dest:" + host_path(self.path("dst")), "/Silent",
                              "/CreateDestinationDirectory", "/Files0:/dev/zero"])
        self.assertEqual(lines_of(output)[-1], b"File list /dev/zero is larger than 1 GiB, aborting.")
        self.assertEqual(status, exit_status(-1))


if __name__ == "__main__":
    main()
