"""What only the Linux build does: ownership, modes, ACLs and attributes,
special files, links, byte names, deep trees and capabilities."""
import fcntl
import hashlib
import os
import shutil
import stat
import subprocess
import unittest

from velmox_e2e import (ERR_LINE, OPTIONS, WINDOWS, ScratchCase, line, lines_of, main, remove_tree,
                        run)

HAVE_ACL_TOOLS = shutil.which("setfacl") and shutil.which("getfacl")


def describe(root, with_security=True):
    """Every entry below root, links as links: content or target, times and,
    on request, security."""
    entries = {}
    for directory, names, files in os.walk(root):
        for name in names + files:
            full = os.path.join(directory, name)
            relative = os.path.relpath(full, root)
            info = os.lstat(full)
            entry = {"kind": stat.S_IFMT(info.st_mode),
                     "mtime": info.st_mtime_ns // 100}  # FILETIME holds 100 ns units
            if stat.S_ISREG(info.st_mode):
                with open(full, "rb") as data:
                    entry["sha"] = hashlib.sha256(data.read()).hexdigest()
            if stat.S_ISLNK(info.st_mode):
                entry["target"] = os.readlink(full)
            if with_security:
                entry.update(mode=stat.S_IMODE(info.st_mode), uid=info.st_uid, gid=info.st_gid,
                             xattrs={a: os.getxattr(full, a, follow_symlinks=False)
                                     for a in os.listxattr(full, follow_symlinks=False)})
            entries[os.fsencode(relative)] = entry
    return entries


@unittest.skipIf(WINDOWS, "Linux build only")
class LinuxCopyTest(ScratchCase):
    def velmox(self, *more, timeout=300, create=True):
        arguments = ["/Source:" + self.path("src"), "/Dest:" + self.path("dst"), "/SubDirectories",
                     "/Silent", "/ErrorLog:" + self.path("run.err")] + list(more)
        if create:
            arguments.append("/CreateDestinationDirectory")
        return run(arguments, timeout=timeout)

    def errors(self):
        return [ERR_LINE.match(l) for l in lines_of(self.read("run.err"))]

    @unittest.skipUnless(HAVE_ACL_TOOLS, "needs setfacl")
    def test_security_descriptors_match_the_source_like_cp_a(self):
        self.write("src/plain.txt", b"plain")
        secret = self.write("src/private/secret.txt", b"only mine")
        os.chmod(secret, 0o600)
        os.chmod(self.path("src/private"), 0o700)
        setuid = self.write("src/bin/tool", b"#!/bin/sh\n")
        os.chown(setuid, 1000, 100)
        os.chmod(setuid, 0o4755)
        shared = self.write("src/shared.txt", b"shared")
        subprocess.run(["setfacl", "-m", "u:1000:rw,g:100:r", shared], check=True)
        subprocess.run(["setfacl", "-d", "-m", "g:100:rx", self.path("src/bin")], check=True)
        os.setxattr(shared, "trusted.velmox", b"kept")
        os.setxattr(self.path("src/bin"), "trusted.dir", b"too")
        os.utime(shared, ns=(1_600_000_000_123_456_700, 1_500_000_000_987_654_300))
        os.symlink("plain.txt", self.path("src/link"))  # kept as a link
        os.utime(self.path("src/link"), ns=(1_300_000_000_000_000_000,) * 2, follow_symlinks=False)
        os.utime(self.path("src/bin"), ns=(1_400_000_000_000_000_000,) * 2)
        subprocess.run(["cp", "-a", self.path("src"), self.path("oracle")], check=True)

        output, status = self.velmox("/SecurityDescriptor")
        self.assertEqual((output, status), (b"", 0), self.read("run.err"))
        copied = describe(self.path("dst"))
        self.assertEqual(copied, describe(self.path("oracle")))
        self.assertEqual(copied[b"bin/tool"]["mode"], 0o4755)
        self.assertEqual(copied[b"shared.txt"]["mtime"], 1_500_000_000_987_654_300 // 100)
        acl = subprocess.run(["getfacl", "-cnp", self.path("dst/shared.txt")], check=True,
                             capture_output=True).stdout
        self.assertIn(b"user:1000:rw-", acl)

        # A rerun with /Overwrite makes a destination that drifted match again,
        # taking away an ACL the source no longer has.
        subprocess.run(["setfacl", "-b", shared], check=True)
        subprocess.run(["setfacl", "-m", "u:2000:rwx", self.path("dst/plain.txt")], check=True)
        output, status = self.velmox("/SecurityDescriptor", "/Overwrite")
        self.assertEqual(status, 0, self.read("run.err"))
        subprocess.run(["cp", "-a", "--remove-destination", shared, self.path("oracle")],
                       check=True)
        self.assertEqual(describe(self.path("dst")), describe(self.path("oracle")))

    @unittest.skipUnless(HAVE_ACL_TOOLS, "needs setfacl")
    def test_every_file_in_a_directory_matches_whatever_the_directory_passes_on(self):
        # Only the first file created in a directory is looked at before its
        # security is written; the later ones are taken to start out alike.
        passes_on = {
            "plain": [],
            "setgid": [["chgrp", "100"], ["chmod", "2775"]],
            "default-acl": [["setfacl", "-d", "-m", "u:1000:rwx,g::r-x"]],
        }
        files = [  # mode, owner, ACL, attribute
            (0o644, None, None, None),
            (0o600, (1000, 100), None, None),
            (0o750, None, "u:2000:r", None),
            (0o640, None, None, b"kept"),
            (0o644, None, None, None),
        ]
        for directory, commands in passes_on.items():
            os.makedirs(self.path("src", directory))
            for command in commands:
                subprocess.run(command + [self.path("src", directory)], check=True)
            for i, (mode, owner, acl, attribute) in enumerate(files):
                name = self.write(f"src/{directory}/f{i}", b"data %d" % i)
                if owner:
                    os.chown(name, *owner)
                subprocess.run(["setfacl", "-m", acl, name] if acl else ["setfacl", "-b", name],
                               check=True)
                os.chmod(name, mode)
                if attribute:
                    os.setxattr(name, "trusted.velmox", attribute)
        subprocess.run(["cp", "-aL", self.path("src"), self.path("oracle")], check=True)
        output, status = self.velmox("/SecurityDescriptor")
        self.assertEqual((output, status), (b"", 0), self.read("run.err"))
        self.assertEqual(describe(self.path("dst")), describe(self.path("oracle")))

        # A rerun leaves a directory alone only if nothing changed it: a
        # drifted time is put back, and so is one a new file bumped, even when
        # the source directory's times read as before. (Fresh copy first:
        # reading the old one moved its directories' access times.)
        shutil.rmtree(self.path("dst"))
        self.assertEqual(self.velmox("/SecurityDescriptor")[1], 0, self.read("run.err"))
        os.utime(self.path("dst/plain"), ns=(5, 5))
        setgid_times = os.stat(self.path("src/setgid"))
        self.write("src/setgid/new", b"new")
        os.utime(self.path("src/setgid"), ns=(setgid_times.st_atime_ns, setgid_times.st_mtime_ns))
        output, status = self.velmox("/SecurityDescriptor", "/OnlyNewer")
        self.assertEqual(status, 0, self.read("run.err"))
        for directory in ["", "plain", "setgid", "default-acl"]:
            source, copy = os.stat(self.path("src", directory)), os.stat(self.path("dst", directory))
            self.assertEqual((copy.st_atime_ns // 100, copy.st_mtime_ns // 100),
                             (source.st_atime_ns // 100, source.st_mtime_ns // 100), directory)

    def test_without_security_descriptor_data_and_times_are_copied(self):
        self.write("src/a", b"x" * 70000)
        os.utime(self.path("src/a"), ns=(1, 1_234_567_891_000))
        output, status = self.velmox()
        self.assertEqual(status, 0)
        self.assertEqual(describe(self.path("dst"), False), describe(self.path("src"), False))

    def test_fifo_in_the_source_is_reported_not_waited_on(self):
        os.makedirs(self.path("src"))
        os.mkfifo(self.path("src/pipe"))
        self.write("src/after", b"still copied")
        output, status = self.velmox(timeout=30)
        self.assertEqual(status, 1)
        [error] = self.errors()
        self.assertEqual(error.group(2), self.path("src/pipe").encode())
        self.assertEqual(error.group(4), b"CopyOneFile:CreateFile(SOURCE)")
        self.assertEqual(error.group(5), b"1")
        self.assertEqual(self.read("dst/after"), b"still copied")

    def test_symbolic_links_in_the_destination_are_not_written_through(self):
        self.write("src/a.txt", b"new data")
        self.write("src/sub/b.txt", b"new data")
        target = self.write("outside/target", b"precious")
        os.makedirs(self.path("dst"))
        os.symlink(target, self.path("dst/a.txt"))
        os.symlink(self.path("outside"), self.path("dst/sub"))
        output, status = self.velmox("/Overwrite", "/FollowLinks")
        self.assertEqual(status, 2)
        contexts = sorted(e.group(4) for e in self.errors())
        self.assertEqual(contexts, [b"CopyOneFile:CreateFile(DESTINATION)",
                                    b"CreateFile(DESTINATION-DIR)"])
        self.assertEqual(self.read("outside/target"), b"precious")
        self.assertFalse(os.path.exists(self.path("outside/b.txt")))
        self.assertTrue(os.path.islink(self.path("dst/a.txt")))

    def test_special_sources_never_block_and_devices_are_not_opened(self):
        os.makedirs(self.path("src"))
        os.symlink("/dev/zero", self.path("src/zero"))
        if os.access("/proc/kmsg", os.R_OK):
            os.symlink("/proc/kmsg", self.path("src/kmsg"))  # a read would wait for the kernel
        self.write("src/after", b"still copied")
        output, status = self.velmox("/FollowLinks", timeout=60)
        errors = {os.path.basename(e.group(2)): (e.group(4), e.group(5)) for e in self.errors()}
        self.assertEqual(status, len(errors))
        self.assertEqual(errors.pop(b"zero"), (b"CopyOneFile:CreateFile(SOURCE)", b"1"))
        self.assertEqual(list(errors), [b"kmsg"] if os.path.lexists(self.path("src/kmsg")) else [])
        self.assertEqual(self.read("dst/after"), b"still copied")

    def test_sinks_are_ordinary_outputs_and_a_closed_console_stops_nothing(self):
        for i in range(400):
            self.write(f"src/f{i:03}", b"x")
        fifo = self.path("log.fifo")
        os.mkfifo(fifo)
        # A log is a FIFO with a reader, and no open waits for one to come:
        # the reader is there before the run starts, and the whole log fits
        # in the pipe, read once the run is done.
        reading = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            fcntl.fcntl(reading, fcntl.F_SETPIPE_SZ, 1 << 20)
            done = subprocess.run(
                f"'{OPTIONS.exe}' '/Source:{self.path('src')}' '/Dest:{self.path('dst')}' "
                f"/CreateDestinationDirectory '/Log:{fifo}' /ErrorLog:/dev/null | head -c 10",
                shell=True, capture_output=True, timeout=60)
            log = b""
            while chunk := os.read(reading, 1 << 16):
                log += chunk
        finally:
            os.close(reading)
        self.assertEqual(len(done.stdout), 10)
        self.assertEqual(len(os.listdir(self.path("dst"))), 400)
        self.assertIn(line("Files          : 400"), log)
        self.assertTrue(log.endswith(b"\r\n") and b"Elapsed time" in log.splitlines()[-1])

    def test_control_characters_in_names_cannot_start_a_line(self):
        os.makedirs(self.path("src"))
        for name in ["new\nERR  000009: forged", "tab\tand\x7f", "csi\x9b2J", "<U+000A>"]:
            self.write("src/" + name, b"data")
        os.makedirs(self.path("dst/tab\tand\x7f"))  # a directory where the file goes
        output, status = self.velmox("/Overwrite", "/Log:" + self.path("run.log"), create=False)
        self.assertEqual(status, 1)
        log = self.read("run.log")
        self.assertIn(b"new<U+000A>ERR  000009: forged (0 KB)\r\n", log)
        self.assertEqual(len([l for l in lines_of(log) if l.startswith(b"ERR")]), 1)
        self.assertIn(b"/tab<U+0009>and<U+007F>: ", self.read("run.err"))
        self.assertIn(b"/csi<U+009B>2J (0 KB)\r\n", log)
        self.assertIn(b"/<U+003C>U+000A> (0 KB)\r\n", log)

    def test_a_pseudo_file_system_root_is_read_no_further_than_its_sizes_say(self):
        # /proc files report a size of 0 and hold more: each is an ERR, and
        # nothing it held reaches the destination.
        output, status = run(["/Source:/proc/sys/fs", "/Dest:" + self.path("dst"),
                              "/CreateDestinationDirectory", "/ErrorLog:" + self.path("run.err")],
                             timeout=60)
        errors = self.errors()
        self.assertGreater(len(errors), 0)
        self.assertEqual({e.group(4) for e in errors}, {b"CopyOneFile:SourceChanged(SOURCE)"})
        self.assertEqual(status, min(len(errors), 254))
        self.assertIn(line("Errors         : %d" % len(errors)), output)
        self.assertEqual([n for n in os.listdir(self.path("dst"))
                          if os.path.getsize(self.path("dst", n)) > 0], [])

    def test_a_file_size_limit_is_an_error_not_the_end_of_the_run(self):
        import resource
        self.write("src/big", b"b" * 200000)
        self.write("src/small", b"s")
        self.write("dst/big", b"old")
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
        output, status = run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"),
                              "/Overwrite", "/ErrorLog:" + self.path("run.err")],
                             preexec_fn=limit)
        self.assertEqual(status, 1)
        errors = self.errors()
        self.assertEqual([(e.group(2), e.group(5)) for e in errors],
                         [(self.path("dst/big").encode(), b"223")])
        self.assertIn(line("Errors         : 1"), output)
        self.assertEqual(self.read("dst/big"), b"old")
        self.assertEqual(self.read("dst/small"), b"s")
        self.assertEqual(sorted(os.listdir(self.path("dst"))), ["big", "small"])

    def make_chain(self, parts, data):
        """The directories `parts` one inside the other below the scratch
        root, each made relative to the last (os.makedirs would pass the
        whole path), and a file `leaf` holding `data` in the deepest."""
        fd = os.open(self.root, os.O_RDONLY)
        for part in parts:
            os.mkdir(part, dir_fd=fd)
            fd, parent = os.open(part, os.O_RDONLY, dir_fd=fd), fd
            os.close(parent)
        leaf = os.open("leaf", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(leaf, data)
        os.close(leaf)
        os.close(fd)

    def test_paths_longer_than_the_kernel_takes_at_once(self):
        relative = "src/" + "/".join(["n" * 255] * 20)  # over 5,000 bytes
        self.make_chain(relative.split("/"), b"deep")
        output, status = self.velmox()
        self.assertEqual((output, status), (b"", 0), self.read("run.err")[:300])
        done = subprocess.run(["find", self.path("dst"), "-name", "leaf"], capture_output=True)
        self.assertEqual(len(done.stdout), len(self.path("dst" + relative[3:] + "/leaf")) + 1)

    def test_names_that_are_not_utf8_are_copied_byte_for_byte(self):
        name = b"caf\xe9-\xff.bin"
        os.makedirs(self.path("src"))
        with open(os.path.join(os.fsencode(self.path("src")), name), "wb") as out:
            out.write(b"latin-1 name")
        output, status = run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"),
                              "/CreateDestinationDirectory"])
        self.assertEqual(status, 0)
        self.assertIn(b"caf<U+DCE9>-<U+DCFF>.bin (0 KB)\r\n", output)
        with open(os.path.join(os.fsencode(self.path("dst")), name), "rb") as copied:
            self.assertEqual(copied.read(), b"latin-1 name")

    def test_utf8_logs_read_back_with_grep(self):
        """/Utf8: names as their UTF-8 bytes (a byte that is not UTF-8 as
        \\xNN), lines ending in LF, and the errno's name or the reason
        beside the code of an ERR line."""
        os.makedirs(self.path("src/\u65e5\u672c"))
        self.write("src/\u65e5\u672c/\u0444\u0430\u0439\u043b.txt", b"cyrillic")
        with open(os.path.join(os.fsencode(self.path("src")), b"caf\xe9"), "wb") as out:
            out.write(b"latin-1 name")
        os.mkfifo(self.path("src/pipe"))
        output, status = self.velmox("/Utf8", "/Log:" + self.path("run.log"),
                                     "/AppendErrorLog:" + self.path("kept.err"), timeout=30)
        self.assertEqual(status, 1)
        log = self.read("run.log")
        self.assertNotIn(b"\r", log)
        self.assertIn(b"Utf8                      : Yes\n", log)
        found = subprocess.run(["grep", "-c", "\u0444\u0430\u0439\u043b", self.path("run.log")],
                               capture_output=True, check=True)
        self.assertEqual(found.stdout, b"1\n")
        self.assertIn(b"/caf\\xE9 (0 KB)\n", log)
        [error] = [l for l in log.split(b"\n") if l.startswith(b"ERR  ")]
        self.assertTrue(error.endswith(b"at CopyOneFile:CreateFile(SOURCE) (1, a FIFO, socket or "
                                       b"device, not opened for data; /Specials copies it as such)"),
                        error)
        # An errno behind the code is named: a file stands where a folder
        # of the destination should be.
        self.write("blocker", b"a file")
        output, status = run(["/Source:" + self.path("src"),
                              "/Dest:" + self.path("blocker/dst"), "/CreateDestinationDirectory",
                              "/Utf8"], timeout=30)
        self.assertIn(b"at CreateDirectory(DESTINATION-DIR) (3, ENOTDIR: Not a directory)\n",
                      output)
        self.assertEqual(self.read("kept.err").count(b"\r"), 0)

    def make_deep(self, levels):
        """src/d/d/.../d/leaf, `levels` directories below src."""
        self.make_chain(["src"] + ["d"] * levels, b"bottom")

    def test_ten_thousand_levels_in_little_memory_no_machine_stack_and_1024_descriptors(self):
        import resource
        self.make_deep(10000)

        # A 512 KiB stack: the walk keeps its levels on the heap; 1,024
        # descriptors: it closes the oldest ancestors and opens them again.
        def limits():
            resource.setrlimit(resource.RLIMIT_STACK, (512 * 1024, 512 * 1024))
            resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))
        for threads in ("/Threads:1", "/Threads:4"):
            remove_tree(self.path("dst"))
            output, status = run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"),
                                  "/SubDirectories", "/SecurityDescriptor", "/Silent", threads,
                                  "/CreateDestinationDirectory",
                                  "/ErrorLog:" + self.path("run.err")], preexec_fn=limits)
            self.assertEqual((output, status), (b"", 0), self.read("run.err")[:300])
            found = subprocess.run(["find", self.path("dst"), "-name", "leaf"],
                                   capture_output=True)
            self.assertEqual(found.stdout.count(b"\n"), 1)
            # Every directory, opened again or not, was finished: it has
            # its source's time. Walked by descriptors: the paths are
            # longer than the system resolves.
            source, copy = os.open(self.path("src"), os.O_RDONLY), os.open(self.path("dst"),
                                                                           os.O_RDONLY)
            unfinished = 0
            for _ in range(10000):
                below = os.open("d", os.O_RDONLY, dir_fd=source), os.open("d", os.O_RDONLY,
                                                                           dir_fd=copy)
                os.close(source)
                os.close(copy)
                source, copy = below
                unfinished += os.fstat(source).st_mtime_ns != os.fstat(copy).st_mtime_ns
            os.close(source)
            os.close(copy)
            self.assertEqual(unfinished, 0)
        with open(OPTIONS.exe, "rb") as program:
            image = program.read()
            # A sanitizer's shadow memory is no measure of velmox's own.
            sanitized = b"__asan_init" in image or b"__tsan_init" in image
        if not sanitized:
            peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
            self.assertLess(peak_kib, 64 * 1024)

    def test_the_descriptor_limit_is_one_error_and_the_run_goes_on(self):
        import resource
        self.make_deep(300)
        self.write("src/beside", b"copied")
        few = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128))
        output, status = run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst"),
                              "/SubDirectories", "/Silent", "/CreateDestinationDirectory",
                              "/ErrorLog:" + self.path("run.err")], preexec_fn=few)
        errors = self.errors()
        # Where the limit strikes first depends on the descriptors the run
        # holds besides the walk's (the lock on its mark among them).
        self.assertEqual(len(errors), 1)
        self.assertIn((errors[0].group(4), errors[0].group(5)),
                      [(b"CreateFile(SOURCE)", b"4"), (b"CreateDirectory(DESTINATION-DIR)", b"4")])
        self.assertEqual(status, 1)
        self.assertEqual(self.read("dst/beside"), b"copied")

    def test_exit_status_caps_the_error_count_at_254(self):
        for i in range(300):
            os.makedirs(self.path("src", f"d{i}"))
            os.makedirs(self.path("dst", f"d{i}"))
        output, status = self.velmox(create=False)
        self.assertEqual(status, 254)
        self.assertEqual(len(self.errors()), 300)

    def test_without_capabilities_the_run_ends_at_the_first_privilege(self):
        if os.getuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root to drop to another user")
        done = subprocess.run(
            ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", OPTIONS.exe,
             "/Source:/nonexistent/src", "/Dest:/nonexistent/dst", "/Silent"],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual(done.stdout, line("AdjustTokenPrivileges() failed, aborting setting the "
                                           "SeRestorePrivilege privilege."))
        self.assertEqual(done.returncode, 255)

    def test_usr_include_matches_its_source(self):
        if not os.path.isdir("/usr/include"):
            self.skipTest("no /usr/include")
        output, status = run(["/Source:/usr/include", "/Dest:" + self.path("inc"),
                              "/SubDirectories", "/SecurityDescriptor",
                              "/CreateDestinationDirectory", "/Silent"], timeout=600)
        self.assertEqual(status, 0)
        source, copied = describe("/usr/include"), describe(self.path("inc"))
        for entry in list(source.values()) + list(copied.values()):
            entry.pop("xattrs", None)
            if entry["kind"] == stat.S_IFDIR:
                entry.pop("mtime")  # the walk reads a directory's times, so atime may move
        self.assertEqual(copied, source)

    def strace_count(self, call, arguments):
        """How often the run made the system call `call`, by strace -c."""
        counted = self.path("strace." + call)
        # A sanitizer build's leak check cannot run under ptrace.
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        done = subprocess.run(["strace", "-f", "-c", "-e", "trace=" + call, "-o", counted,
                               OPTIONS.exe] + arguments, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=300, env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        for row in self.read(counted).splitlines():
            fields = row.split()
            if fields and fields[-1] == call.encode():
                return int(fields[3])
        return 0

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_a_new_files_attributes_are_listed_once(self):
        # /Backup carries a file's ACL and its user.* attributes, both read
        # from one listing of the source's names; the new copy has none to
        # list.
        for number in range(50):
            made = self.write(f"src/d/f{number:02}", b"x")
            os.setxattr(made, "user.tag", b"t")
        listed = self.strace_count("flistxattr", [
            "/Source:" + self.path("src"), "/Dest:" + self.path("dst"), "/SubDirectories",
            "/Backup", "/Silent", "/CreateDestinationDirectory"])
        self.assertEqual(os.getxattr(self.path("dst/d/f07"), "user.tag"), b"t")
        self.assertGreaterEqual(listed, 50)
        self.assertLess(listed, 2 * 50)  # one a file, and a few for the directories

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_a_file_handed_to_a_worker_is_looked_at_once_as_by_the_walk(self):
        # Files wait for a worker behind the listing (under strace every file
        # is slow enough to be handed over), yet each is looked at as often as
        # with one thread: on the first copy and on a rerun.
        for number in range(400):
            self.write(f"src/f{number:03}", b"x")

        def looks(threads, destination, *more):
            return self.strace_count("statx", [
                "/Source:" + self.path("src"), "/Dest:" + self.path(destination), "/Silent",
                "/CreateDestinationDirectory", f"/Threads:{threads}"] + list(more))

        for more in ([], ["/OnlyNewer"]):
            one, eight = looks(1, "one", *more), looks(8, "eight", *more)
            self.assertGreaterEqual(one, 800)  # the source's and the copy's
            # A few more at most, before the run learns how far opens trail.
            self.assertLessEqual(eight, one + 32, more)


if __name__ == "__main__":
    main()
