"""Auditable runs on both builds: the JSON log read back with a JSON parser
and held against the text log, and /Verify finding a copy damaged behind
the run's back."""
import json
import os
import re
import unittest

from velmox_e2e import (SEP, WINDOWS, ScratchCase, exit_status, host_path, lines_of, main,
                        prepared, run, start)

FILE_LINE = re.compile(rb"^FILE (\d{6,}): (.*) \((\d+) KB\)$")


class AuditTest(ScratchCase):
    def setUp(self):
        super().setUp()
        self.write("src/plain", b"p" * 3000)
        self.write("src/sub/\u00e9t\u00e9 \u263a", b"unicode")
        self.write("src/sub/skip.tmp", b"excluded")
        self.write("src/blocked", b"a directory stands at its copy's name")
        os.makedirs(self.path("dst/blocked"))
        self.names = {"plain", "\u00e9t\u00e9 \u263a", "blocked"}
        if not WINDOWS:
            # A Linux name that is not UTF-8 reads back byte for byte.
            os.makedirs(self.path("src/raw"))
            with open(os.path.join(self.path("src/raw").encode(), b"caf\xe9"), "wb") as out:
                out.write(b"latin-1 name")
            self.names.add("caf\udce9")

    def velmox(self, *more):
        arguments = ["/Source:" + host_path(self.path("src")),
                     "/Dest:" + host_path(self.path("dst")), "/SubDirectories",
                     "/Exclude:*.tmp", "/Log:" + host_path(self.path("run.log"))] + list(more)
        output, status = run(arguments)
        return output, status

    def records(self):
        with open(self.path("run.json"), "rb") as log:
            text = log.read()
        return [json.loads(line) for line in text.decode("utf-8").splitlines()]

    def test_the_json_log_tells_what_the_text_log_tells(self):
        _, status = self.velmox("/JsonLog:" + host_path(self.path("run.json")))
        self.assertEqual(status, exit_status(1))  # the file blocked by a directory
        records = self.records()
        self.assertEqual(records[0]["kind"], "start")
        self.assertEqual(records[0]["settings"]["Source"], prepared(self.path("src")))
        self.assertEqual(records[0]["settings"]["Exclude"], ["*.tmp"])  # each pattern kept
        self.assertEqual(records[-1]["kind"], "summary")
        log = lines_of(self.read("run.log"))

        files = [r for r in records if r["kind"] == "file" and r["decision"] != "excluded"]
        listed = [FILE_LINE.match(l) for l in log if l.startswith(b"FILE ")]
        self.assertEqual(sorted(int(m.group(1)) for m in listed),
                         sorted(r["number"] for r in files))
        by_number = {r["number"]: r for r in files}
        for match in listed:
            record = by_number[int(match.group(1))]
            self.assertEqual(int(match.group(3)), record["size"] >> 10)
            if record["path"].isascii():
                self.assertEqual(match.group(2).decode(), record["path"])
        self.assertEqual({r["path"].rsplit(SEP, 1)[1] for r in files}, self.names)
        decisions = {r["path"].rsplit(SEP, 1)[1]: r["decision"] for r in files}
        self.assertEqual(decisions["blocked"], "failed")
        self.assertEqual(decisions["plain"], "new")
        blocked = next(r for r in files if r["decision"] == "failed")
        self.assertEqual((blocked["code"], blocked["context"]),
                         (183, "CopyOneFile:CreateFile(DESTINATION)"))
        excluded = [r for r in records if r.get("decision") == "excluded"]
        self.assertEqual([r["path"].rsplit(SEP, 1)[1] for r in excluded], ["skip.tmp"])

        errors = [r for r in records if r["kind"] == "error"]
        self.assertEqual(len(errors), sum(1 for l in log if l.startswith(b"ERR  ")))
        directories = [r for r in records if r["kind"] == "directory" and "number" in r]
        self.assertEqual(len(directories), sum(1 for l in log if l.startswith(b"DIR  ")))
        summary = records[-1]
        self.assertEqual((summary["files"], summary["new"], summary["errors"], summary["exit"]),
                         (len(files), len(files) - 1, 1, 1))
        self.assertIn(f"Size (Byte)    : {summary['bytes']}".encode(), log)
        for moment in ("start", "end"):
            self.assertRegex(summary[moment], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertLessEqual(summary["start"], summary["end"])

    def test_a_run_that_ends_before_its_walk_ends_its_json_log(self):
        """A fatal end is the JSON log's last record too: its exit and its
        message, whatever ended it; with /SummaryLine it is the one line on
        standard error, /Silent or not."""
        src, dst = host_path(self.path("src")), host_path(self.path("dst"))
        json_log = "/JsonLog:" + host_path(self.path("run.json"))
        cases = [
            (["/Source:" + src, "/Dest:" + src], "Source and destination are the same directory"),
            (["/Source:" + host_path(self.path("dst/blocked")), "/Dest:" + dst, "/Mirror",
              "/SubDirectories"], "Source lies inside the destination"),
            (["/Source:" + src, "/Dest:" + dst, "/Files:" + host_path(self.path("no list"))],
             "Cannot read file list"),
            # A file as the source: nothing is made before the end.
            (["/Source:" + host_path(self.path("src/plain")),
              "/Dest:" + host_path(self.path("never made")), "/CreateDestinationDirectory"],
             "is not a directory"),
        ]
        for arguments, message in cases:
            with self.subTest(message):
                with start(arguments + [json_log, "/Silent", "/SummaryLine"]) as process:
                    output, errors = process.communicate(timeout=120)
                self.assertEqual(process.returncode, exit_status(-1))
                records = self.records()
                self.assertEqual([r["kind"] for r in records], ["start", "summary"])
                self.assertEqual(records[-1]["exit"], -1)
                self.assertIn(message, records[-1]["error"])
                self.assertFalse(os.path.exists(self.path("never made")))
                summary = [l for l in errors.splitlines() if l.startswith(b"velmox: summary: ")]
                self.assertEqual(len(summary), 1, errors)
                self.assertRegex(summary[0], rb"^velmox: summary: directories 0, files 0 \(new 0, "
                                 rb"newer 0, overwritten 0\), bytes 0, .*errors 0, exit -1, "
                                 rb"elapsed 00:00:0\d: .*" + re.escape(message.encode()))

    def test_the_summary_line_tells_a_silent_run(self):
        with start(["/Source:" + host_path(self.path("src")), "/Dest:" + host_path(self.path("dst")),
                    "/SubDirectories", "/Silent", "/SummaryLine"]) as process:
            output, errors = process.communicate(timeout=120)
        self.assertEqual(process.returncode, exit_status(1))
        self.assertEqual(output, b"")
        self.assertRegex(errors, rb"(?m)^velmox: summary: directories \d+, files \d+ \(new \d+, "
                         rb"newer 0, overwritten 0\), bytes \d+, errors 1, exit 1, "
                         rb"elapsed \d\d:\d\d:\d\d\r?$")

    def test_appended_logs_give_each_run_a_dated_part(self):
        log = "/AppendLog:" + host_path(self.path("kept.log"))
        for _ in range(2):
            self.velmox(log, "/Silent")
        lines = lines_of(self.read("kept.log"))
        stamps = [i for i, l in enumerate(lines) if l.startswith(b"Run of ")]
        self.assertEqual(len(stamps), 2, lines)
        for at in stamps:
            self.assertRegex(lines[at], rb"^Run of \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d: "
                             rb".* /AppendLog:\S+ /Silent$")
            self.assertTrue(lines[at + 1].startswith(b"Source "), lines[at + 1])
        self.assertEqual(len([l for l in lines if l.startswith(b"Elapsed time")]), 2)

    def test_verify_finds_damage_of_the_same_size_and_time(self):
        os.rmdir(self.path("dst/blocked"))
        _, status = self.velmox()
        self.assertEqual(status, 0)
        for threads in ("/Threads:1", "/Threads:4"):
            output, status = self.velmox("/Verify", threads)
            self.assertEqual(status, 0, output)
            self.assertIn(b"Differences    : 0\r\n", output)

        damaged = self.path("dst/plain")
        times = os.stat(damaged)
        with open(damaged, "r+b") as copy:
            copy.seek(1500)
            copy.write(b"q")
        os.utime(damaged, ns=(times.st_atime_ns, times.st_mtime_ns))
        os.remove(self.path("dst/blocked"))
        self.write("dst/sub/stray", b"only here")
        before = sorted(os.walk(self.path("dst")))
        for threads in ("/Threads:1", "/Threads:4"):
            output, status = self.velmox("/Verify", threads)
            self.assertEqual(status, exit_status(3), output)
            differences = sorted(l for l in lines_of(output) if l.startswith(b"DIFF "))
            self.assertEqual(len(differences), 3, output)
            self.assertTrue(any(l.endswith(b"plain: bytes differ") for l in differences))
            self.assertTrue(any(l.endswith(b"blocked: missing at the destination")
                                for l in differences))
            self.assertTrue(any(l.endswith(b"stray: only at the destination")
                                for l in differences))
            self.assertIn(b"Differences    : 3\r\nErrors         : 0\r\n", output)
            self.assertIn(b"Verify                    : Yes\r\n", output)
        self.assertEqual(sorted(os.walk(self.path("dst"))), before)  # nothing written
        self.assertNotIn(b"Differences", self.velmox()[0])  # the row is /Verify's alone


if __name__ == "__main__":
    main()
