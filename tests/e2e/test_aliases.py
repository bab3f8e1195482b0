"""Aliases, links and loops on both builds: no second name for a directory or
file may destroy data, nest the copy into itself, loop, or lead a write out of
the destination. Under Wine the Unix links made here are what Windows links
are to velmox.exe."""
import os

from velmox_e2e import (ERR_LINE, SEP, WINDOWS, ScratchCase, exit_status, host_path, line,
                        lines_of, main, prepared, run)


class AliasTest(ScratchCase):
    def setUp(self):
        super().setUp()
        try:
            os.symlink(self.root, self.path("probe-link"))
        except OSError:
            self.skipTest("making symbolic links needs developer mode or the privilege here")
        os.unlink(self.path("probe-link"))
        self.write("src/a.txt", b"precious a")
        self.write("src/sub/b.txt", b"precious b")

    def velmox(self, source, destination, *more):
        return run(["/Source:" + host_path(source), "/Dest:" + host_path(destination),
                    "/SubDirectories", "/Silent", "/Log:" + host_path(self.path("run.log")),
                    "/ErrorLog:" + host_path(self.path("run.err"))] + list(more))

    def errors(self):
        return [ERR_LINE.match(l).groups() for l in lines_of(self.read("run.err"))]

    def assert_source_intact(self):
        self.assertEqual(self.read("src/a.txt"), b"precious a")
        self.assertEqual(self.read("src/sub/b.txt"), b"precious b")

    def test_the_same_directory_under_any_name_ends_the_run_before_writing(self):
        os.symlink(self.path("src"), self.path("link"))
        aliases = [self.path("src"), self.path("link")]
        if not WINDOWS:  # an extended-length path takes "." literally
            aliases.append(self.path("src") + "/./")
        for destination in aliases:
            with self.subTest(destination=destination):
                output, status = self.velmox(self.path("src"), destination, "/Overwrite")
                self.assertEqual(status, exit_status(-1))
                self.assertEqual(output, line(
                    "Source and destination are the same directory, aborting."))
                self.assert_source_intact()

    def test_a_destination_file_that_is_its_source_is_never_cut(self):
        os.makedirs(self.path("dst"))
        os.link(self.path("src/a.txt"), self.path("dst/a.txt"))
        for flag in ["/Overwrite", "/OnlyNewer"]:
            with self.subTest(flag=flag):
                output, status = self.velmox(self.path("src"), self.path("dst"), flag)
                self.assertEqual(status, 1)
                [(_, subject, _, context, code)] = self.errors()
                self.assertEqual(subject, prepared(self.path("src", "a.txt")).encode())
                self.assertEqual((context, code), (b"CopyOneFile:SameFile(DESTINATION)", b"80"))
                self.assert_source_intact()
                self.assertEqual(self.read("dst/sub/b.txt"), b"precious b")

    def test_the_runs_own_output_inside_the_source_is_not_input(self):
        # The destination root and both logs sit inside the source tree.
        backup = self.path("src", "backup")
        output, status = run(["/Source:" + host_path(self.path("src")),
                              "/Dest:" + host_path(backup), "/SubDirectories",
                              "/CreateDestinationDirectory", "/Silent",
                              "/Log:" + host_path(self.path("src", "run.log")),
                              "/ErrorLog:" + host_path(self.path("src", "sub", "run.err"))])
        self.assertEqual(status, 0)
        self.assertEqual(sorted(os.listdir(backup)), ["a.txt", "sub"])
        self.assertEqual(os.listdir(self.path("src/backup/sub")), ["b.txt"])
        self.assertIn(line("Directories    : 2"), self.read("src/run.log"))

    def test_loops_are_refused_and_other_repeats_copied(self):
        # Two links to an ancestor per directory would never end; a second
        # link to a directory that is not an ancestor is an ordinary repeat.
        os.symlink("..", self.path("src/sub/up"))
        os.symlink(".", self.path("src/sub/self"))
        os.symlink("sub", self.path("src/again"))
        output, status = self.velmox(self.path("src"), self.path("dst"),
                                     "/CreateDestinationDirectory", "/FollowLinks")
        self.assertEqual(status, 4)  # both links, met through sub and through again
        looped = sorted((subject, context, code) for _, subject, _, context, code in self.errors())
        self.assertEqual(looped, sorted(
            (prepared(self.path("src", parent, name)).encode(),
             b"CopyOneDirectory:AncestorCheck(SOURCE-DIR)", b"1921")
            for parent in ["sub", "again"] for name in ["self", "up"]))
        self.assertEqual(self.read("dst/again/b.txt"), b"precious b")
        self.assertFalse(os.path.lexists(self.path("dst/sub/up")))

        # With /StopAtFirstError the first loop ends the walk.
        output, status = self.velmox(self.path("src"), self.path("dst2"),
                                     "/CreateDestinationDirectory", "/StopAtFirstError",
                                     "/FollowLinks")
        self.assertEqual(status, 1)

    def test_links_planted_in_the_destination_are_never_written_through(self):
        outside = self.write("outside/a.txt", b"not yours")
        os.makedirs(self.path("dst"))
        os.symlink(outside, self.path("dst/a.txt"))
        os.symlink(self.path("outside"), self.path("dst/sub"))
        self.write("src/gone.txt", b"new")
        os.symlink(self.path("outside/created-by-link"), self.path("dst/gone.txt"))
        before = os.stat(outside)
        output, status = self.velmox(self.path("src"), self.path("dst"), "/Overwrite",
                                     "/SecurityDescriptor", "/FollowLinks")
        self.assertEqual(status, 3)
        self.assertEqual(sorted((context, code) for _, _, _, context, code in self.errors()),
                         [(b"CopyOneFile:CreateFile(DESTINATION)", b"1921")] * 2
                         + [(b"CreateFile(DESTINATION-DIR)", b"1921")])
        self.assertEqual(sorted(os.listdir(self.path("outside"))), ["a.txt"])
        self.assertEqual(self.read("outside/a.txt"), b"not yours")
        self.assertEqual(os.stat(outside).st_mtime_ns, before.st_mtime_ns)
        self.assertEqual(os.stat(outside).st_mode, before.st_mode)

    def test_a_destination_root_that_is_a_link_is_followed(self):
        os.makedirs(self.path("real"))
        os.symlink(self.path("real"), self.path("dst"))
        output, status = self.velmox(self.path("src"), self.path("dst"))
        self.assertEqual(status, 0, self.read("run.err"))
        self.assertEqual(self.read("real/sub/b.txt"), b"precious b")

    def test_roots_ending_with_a_separator_join_with_one(self):
        output, status = self.velmox(self.path("src") + SEP, self.path("dst") + SEP,
                                     "/CreateDestinationDirectory")
        self.assertEqual(status, 0, self.read("run.err"))
        self.assertEqual(self.read("dst/sub/b.txt"), b"precious b")
        source = prepared(self.path("src")) + SEP
        paths = sorted(l.split(b": ", 1)[1] for l in lines_of(self.read("run.log"))
                       if l.startswith((b"DIR ", b"FILE ")))
        self.assertEqual(paths, sorted([
            source.encode(), (source + "a.txt (0 KB)").encode(),
            (source + "sub").encode(), (source + "sub" + SEP + "b.txt (0 KB)").encode()]))


if __name__ == "__main__":
    main()
