"""Keeping yesterday: /History:, /HistoryDays: and /MaxChange:, on both builds."""
import datetime
import json
import os
import re
import shutil
import subprocess
import time

from velmox_e2e import (ScratchCase, WINDOWS, exit_status, host_path, lines_of, main, run)

RUN_FOLDER = re.compile(r"^\d{4}-\d\d-\d\dT\d{6}Z(-\d+)?$")


class HistoryCase(ScratchCase):
    def night(self, *more, history="hist"):
        output, status = run(["/Source:" + host_path(self.path("src")),
                              "/Dest:" + host_path(self.path("dst")), "/CreateDestinationDirectory",
                              "/SubDirectories", "/Mirror", "/OnlyNewer",
                              "/History:" + host_path(self.path(history))] + list(more))
        return output, status

    def run_folders(self, history="hist"):
        return sorted(name for name in os.listdir(self.path(history)) if RUN_FOLDER.match(name))

    def later(self, relative, data):
        """Rewrites a source file with a later write time."""
        full = self.write(relative, data)
        future = time.time() + 3600
        os.utime(full, (future, future))


class KeepsWhatANightReplacesTest(HistoryCase):
    def test_an_edit_a_removal_and_a_kind_change_are_kept_in_one_folder(self):
        self.write("src/edited", b"old text")
        self.write("src/removed", b"removed file")
        self.write("src/kind/inside", b"in a directory")
        self.write("src/same", b"untouched")
        # A preview over a destination still to be made has no history to know.
        output, status = self.night("/List")
        self.assertEqual(status, 0, output)
        output, status = self.night()
        self.assertEqual(status, 0, output)
        # Nothing replaced or removed: no run folder.
        self.assertEqual(self.run_folders(), [])
        before = {name: os.stat(self.path("dst", name)) for name in ["edited", "removed"]}
        before_inside = os.stat(self.path("dst", "kind", "inside"))

        self.later("src/edited", b"new text")
        os.remove(self.path("src/removed"))
        os.remove(self.path("src/kind/inside"))
        os.rmdir(self.path("src/kind"))
        self.write("src/kind", b"now a file")
        output, status = self.night()
        self.assertEqual(status, 0, output)
        folders = self.run_folders()
        self.assertEqual(len(folders), 1, folders)
        kept = self.path("hist", folders[0])
        self.assertEqual(self.read("dst/edited"), b"new text")
        self.assertEqual(self.read("dst/kind"), b"now a file")
        self.assertFalse(os.path.exists(self.path("dst/removed")))
        for name, data in [("edited", b"old text"), ("removed", b"removed file")]:
            with open(os.path.join(kept, name), "rb") as version:
                self.assertEqual(version.read(), data)
            now = os.stat(os.path.join(kept, name))
            self.assertEqual(now.st_mtime_ns // 10000000, before[name].st_mtime_ns // 10000000)
            if not WINDOWS:
                self.assertEqual(now.st_ino, before[name].st_ino)
        with open(os.path.join(kept, "kind", "inside"), "rb") as version:
            self.assertEqual(version.read(), b"in a directory")
        if not WINDOWS:
            self.assertEqual(os.stat(os.path.join(kept, "kind", "inside")).st_ino,
                             before_inside.st_ino)
        with open(kept + ".json", "rb") as manifest:
            records = [json.loads(record) for record in manifest.read().splitlines()]
        self.assertIn("start", records[0])
        self.assertEqual(records[-1]["exit"], 0)
        changes = {(record["path"].replace("\\", "/"), record["change"], record["kind"])
                   for record in records[1:-1]}
        # The root's times as they were, since a removal changed them.
        self.assertEqual(changes, {("edited", "replaced", "file"), ("removed", "removed", "file"),
                                   ("kind/inside", "removed", "file"),
                                   ("kind", "removed", "directory"), ("kind", "new", "file"),
                                   ("", "times", "directory")})

        # A night that changes nothing leaves neither a folder nor a manifest.
        entries = sorted(os.listdir(self.path("hist")))
        output, status = self.night()
        self.assertEqual(status, 0, output)
        self.assertEqual(sorted(os.listdir(self.path("hist"))), entries)

    def test_a_history_inside_the_destination_survives_mirror_and_verify(self):
        self.write("src/a", b"one")
        output, status = self.night(history="dst/.history")
        self.assertEqual(status, 0, output)
        self.later("src/a", b"two")
        output, status = self.night(history="dst/.history")
        self.assertEqual(status, 0, output)
        self.assertEqual(len(self.run_folders("dst/.history")), 1)
        output, status = run(["/Source:" + host_path(self.path("src")),
                              "/Dest:" + host_path(self.path("dst")), "/SubDirectories", "/Verify",
                              "/History:" + host_path(self.path("dst/.history"))])
        self.assertEqual(status, 0, output)
        self.assertNotIn(b"DIFF", output)

    def test_a_source_holding_the_history_never_has_it_copied(self):
        self.write("src/a", b"one")
        output, status = self.night(history="src/.history")
        self.assertEqual(status, 0, output)
        self.later("src/a", b"two")
        output, status = self.night(history="src/.history")
        self.assertEqual(status, 0, output)
        self.assertFalse(os.path.exists(self.path("dst/.history")))
        self.assertEqual(len(self.run_folders("src/.history")), 1)


class PrunesOldNightsTest(HistoryCase):
    def plant(self, name):
        self.write(os.path.join("hist", name, "old"), b"an old version")
        self.write(os.path.join("hist", name + ".json"), b"{}\n")

    def test_old_folders_go_after_a_clean_run_only(self):
        self.write("src/a", b"a")
        self.plant("2020-01-01T020000Z")
        self.plant("2020-01-02T020000Z-2")
        # A run with an error (a listed entry the source lacks) prunes nothing.
        self.write("list", b"a\nmissing\n")
        output, status = run(["/Source:" + host_path(self.path("src")),
                              "/Dest:" + host_path(self.path("dst")), "/CreateDestinationDirectory",
                              "/Files:" + host_path(self.path("list")),
                              "/History:" + host_path(self.path("hist")), "/HistoryDays:30"])
        self.assertEqual(status, 1, output)
        self.assertEqual(self.run_folders(), ["2020-01-01T020000Z", "2020-01-02T020000Z-2"])
        output, status = self.night("/HistoryDays:30")
        self.assertEqual(status, 0, output)
        # The newest folder stays, however old, with its manifest.
        self.assertEqual(self.run_folders(), ["2020-01-02T020000Z-2"])
        kept = sorted(os.listdir(self.path("hist")))
        self.assertEqual(kept[:2], ["2020-01-02T020000Z-2", "2020-01-02T020000Z-2.json"])
        self.assertEqual(len(kept), 3, kept)  # and the failed run's manifest
        deleted = [text for text in lines_of(output) if text.startswith(b"DEL")]
        self.assertEqual(len(deleted), 2, deleted)
        self.assertIn(b"History (MB)   : 0.00", output)


class MaxChangeTest(HistoryCase):
    def test_a_mass_change_is_refused_before_anything_changes(self):
        for number in range(100):
            self.write(f"src/f{number:03}", b"first")
        output, status = self.night("/MaxChange:50%")
        self.assertEqual(status, 0, output)
        for number in range(60):
            self.later(f"src/f{number:03}", b"encrypted")
        for number in range(60, 65):
            os.remove(self.path(f"src/f{number:03}"))
        output, status = self.night("/MaxChange:50%", "/List")
        self.assertEqual(status, 0, output)
        self.assertIn(b"Run would replace 60 and remove 5 of 100 files, more than /MaxChange:50%.",
                      output)
        output, status = self.night("/MaxChange:50%")
        self.assertEqual(status, exit_status(-1), output)
        self.assertIn(b"Run would replace 60 and remove 5 of 100 files, more than /MaxChange:50%;"
                      b" nothing changed.\r\n", output)
        self.assertEqual(self.read("dst/f000"), b"first")
        self.assertTrue(os.path.exists(self.path("dst/f064")))
        self.assertEqual(self.run_folders(), [])
        # Fifteen changes pass a limit of fifty.
        for number in range(60):
            self.later(f"src/f{number:03}", b"first")
        for number in range(60, 65):
            self.write(f"src/f{number:03}", b"first")
        output, status = self.night()
        self.assertEqual(status, 0, output)
        for number in range(15):
            self.later(f"src/f{number:03}", b"edited")
        output, status = self.night("/MaxChange:50%")
        self.assertEqual(status, 0, output)
        self.assertEqual(self.read("dst/f000"), b"edited")


class PlanLeavesTheRunAsItWasTest(HistoryCase):
    def test_the_plan_spends_no_removal_of_max_delete(self):
        for number in range(6):
            self.write(f"src/f{number}", b"x")
        self.assertEqual(self.night()[1], 0)
        for number in range(5):
            os.remove(self.path(f"src/f{number}"))
        output, status = self.night("/MaxChange:5", "/MaxDelete:2")
        # Two removed, the first one over the limit an ERR: as without the plan.
        self.assertEqual(status, 1, output)
        self.assertEqual(len(os.listdir(self.path("dst"))), 4)
        self.assertEqual(len(os.listdir(os.path.join(self.path("hist"),
                                                     self.run_folders()[0]))), 2)


class AsOfTest(HistoryCase):
    def tree(self, root):
        """Every path below `root` with its bytes (None: a directory) and
        write time to the second."""
        found = {}
        for folder, directories, files in os.walk(root):
            for name in directories + files:
                full = os.path.join(folder, name)
                data = None
                if name not in directories:
                    with open(full, "rb") as entry:
                        data = entry.read()
                found[os.path.relpath(full, root)] = (data, int(os.stat(full).st_mtime))
        return found

    def test_the_tree_of_three_nights_ago_comes_back_whole(self):
        self.write("src/a", b"a, first")
        self.write("src/d/b", b"b")
        self.write("src/e/c", b"c")
        self.write("src/keep", b"kept all along")
        output, status = self.night("/Backup")
        self.assertEqual(status, 0, output)
        shutil.copytree(self.path("dst"), self.path("saved"), symlinks=True)
        time.sleep(1.1)
        as_of = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")
        as_of = as_of[:-3] + "Z"
        time.sleep(1.1)
        self.later("src/a", b"a, second")
        shutil.rmtree(self.path("src/e"))
        self.write("src/d/new", b"made later")
        self.assertEqual(self.night("/Backup")[1], 0)
        time.sleep(1.1)
        shutil.rmtree(self.path("src/d"))
        self.write("src/d", b"a file now")
        self.assertEqual(self.night("/Backup")[1], 0)
        time.sleep(1.1)
        self.later("src/keep", b"changed at last")
        self.assertEqual(self.night("/Backup")[1], 0)

        output, status = run(["/Source:" + host_path(self.path("dst")),
                              "/Dest:" + host_path(self.path("restored")),
                              "/CreateDestinationDirectory", "/Backup",
                              "/History:" + host_path(self.path("hist")), "/AsOf:" + as_of])
        self.assertEqual(status, 0, output)
        self.assertEqual(self.tree(self.path("restored")), self.tree(self.path("saved")))
        if not WINDOWS:
            found = subprocess.run(["rsync", "-aAXHn", "--checksum", "--delete", "-i",
                                    "--filter=-x trusted.velmox.*", self.path("saved") + "/",
                                    self.path("restored") + "/"],
                                   capture_output=True, check=True).stdout
            self.assertEqual(found, b"")
        # Before the oldest night kept, the history knows nothing.
        output, status = run(["/Source:" + host_path(self.path("dst")),
                              "/Dest:" + host_path(self.path("older")),
                              "/CreateDestinationDirectory", "/History:" + host_path(self.path("hist")),
                              "/AsOf:2001-01-01T000000Z"])
        self.assertEqual(status, exit_status(-1), output)
        self.assertIn(b"knows no tree as of 2001-01-01T000000Z, aborting.", output)
        self.assertFalse(os.path.exists(self.path("older")))


if __name__ == "__main__":
    main()
