"""What only Windows itself can show: junctions, a non-elevated token and
inherited ACLs. Under Wine these tests skip themselves with the reason."""
import os
import shutil
import subprocess
import time
import unittest

from velmox_e2e import (ERR_LINE, OPTIONS, WINDOWS, ScratchCase, exit_status, host_path, lines_of,
                        main, run, skip_under_wine)

PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                       "windows")


@unittest.skipUnless(WINDOWS, "Windows build only")
class WindowsOnlyTest(ScratchCase):
    def velmox(self, *more):
        return run(["/Source:" + host_path(self.path("src")), "/Dest:" + host_path(self.path("dst")),
                    "/SubDirectories", "/Silent", "/ErrorLog:" + host_path(self.path("run.err"))]
                   + list(more))

    def test_a_root_in_the_device_namespace_copies(self):
        self.write("src/a.txt", b"a")
        output, status = run(["/Source:\\\\.\\" + host_path(self.path("src")),
                              "/Dest:\\\\.\\" + host_path(self.path("dst")),
                              "/CreateDestinationDirectory", "/Silent"])
        self.assertEqual(status, 0, output)
        self.assertEqual(self.read("dst/a.txt"), b"a")

    @skip_under_wine("junctions (a Unix link is all it has)")
    def test_a_junction_planted_in_the_destination_is_not_followed(self):
        self.write("src/sub/a.txt", b"new")
        outside = self.write("outside/a.txt", b"not yours")
        os.makedirs(self.path("dst"))
        subprocess.run(["cmd", "/c", "mklink", "/J", self.path("dst", "sub"),
                        self.path("outside")], check=True, capture_output=True)
        output, status = self.velmox("/Overwrite")
        self.assertEqual(status, 1)
        [error] = [ERR_LINE.match(l).groups() for l in lines_of(self.read("run.err"))]
        self.assertEqual((error[3], error[4]), (b"CreateFile(DESTINATION-DIR)", b"1921"))
        with open(outside, "rb") as data:
            self.assertEqual(data.read(), b"not yours")

    @skip_under_wine("a token without the backup privilege (Wine's holds every privilege)")
    def test_a_non_elevated_token_ends_the_run_at_the_first_privilege(self):
        import ctypes
        if ctypes.windll.shell32.IsUserAnAdmin():
            self.skipTest("the tests run elevated; this one needs a non-elevated prompt")
        self.write("src/a.txt", b"data")
        output, status = run(["/Source:" + self.path("src"), "/Dest:" + self.path("dst")])
        self.assertIn(b"AdjustTokenPrivileges() failed, aborting setting the SeRestorePrivilege "
                      b"privilege.\r\n", output)
        self.assertEqual(status, exit_status(-1))

    @skip_under_wine("ACLs (it keeps Unix permission bits only)")
    def test_security_descriptor_carries_an_explicit_acl_instead_of_inheriting(self):
        source = self.write("src/a.txt", b"data")
        subprocess.run(["icacls", source, "/inheritance:r", "/grant:r", "*S-1-1-0:(R)",
                        "/grant:r", "*S-1-5-32-544:(F)"], check=True, capture_output=True)
        output, status = self.velmox("/SecurityDescriptor", "/CreateDestinationDirectory")
        self.assertEqual(status, 0, self.read("run.err"))

        def acl(path):
            text = subprocess.run(["icacls", path], check=True, capture_output=True).stdout
            return [line.strip().replace(path.encode(), b"") for line in text.splitlines()[:-2]]

        self.assertEqual(acl(self.path("dst", "a.txt")), acl(source))

    def test_the_scheduled_task_installs_where_it_was_unpacked_and_rotates_its_logs(self):
        home = self.path("Velmox (x86) Tools")
        os.makedirs(home)
        shutil.copy(OPTIONS.exe, os.path.join(home, "velmox.exe"))
        for name in ("install-task.cmd", "velmox-task.cmd"):
            shutil.copy(os.path.join(PACKAGE, name), home)
        self.write("Velmox (x86) Tools/velmox-job.txt",
                   ("# the job\r\n/Source:%s\r\n/Dest:%s\r\n/CreateDestinationDirectory\r\n"
                    "/OnlyNewer\r\n/Silent\r\n" % (host_path(self.path("src")), host_path(self.path("dst"))))
                   .encode())
        self.write("src/a.txt", b"a")
        logs = host_path(self.path("logs"))

        def script(*arguments):
            command = ["cmd", "/d", "/c"] + list(arguments)
            if OPTIONS.runner:
                command = [OPTIONS.runner] + command
            env = dict(os.environ, WINEDEBUG="-all")
            return subprocess.run(command, cwd=home, stdin=subprocess.DEVNULL,
                                  capture_output=True, env=env, timeout=600)

        installed = script("install-task.cmd", logs, "2")
        try:
            self.assertEqual(installed.returncode, 0, installed.stderr)
            self.assertTrue(os.path.isdir(self.path("logs")))
            task = self.read("Velmox (x86) Tools/velmox-task.xml").decode()
            self.assertIn('/d /c ""%s\\velmox-task.cmd" "%s" 2"' % (host_path(home), logs), task)
            self.assertIn("<UserId>S-1-5-18</UserId>", task)
        finally:
            script("schtasks", "/Delete", "/F", "/TN", "Velmox nightly")
        for night in range(3):
            if night:
                time.sleep(1.1)  # a log per second of start
            ran = script("velmox-task.cmd", logs, "2")
            self.assertEqual(ran.returncode, 0, ran.stderr)
        names = sorted(os.listdir(self.path("logs")))
        self.assertEqual(len(names), 4, names)  # the newest two runs, a log and an error log each
        for name in names:
            self.assertRegex(name, r"^velmox-\d{4}-\d\d-\d\dT\d{6}\.(log|err)$")
        self.assertEqual(self.read("dst/a.txt"), b"a")


if __name__ == "__main__":
    main()
