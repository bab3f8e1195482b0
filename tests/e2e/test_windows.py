"""What only Windows itself can show: junctions, a non-elevated token and
inherited ACLs. Under Wine these tests skip themselves with the reason."""
import os
import subprocess
import unittest

from velmox_e2e import (ERR_LINE, WINDOWS, ScratchCase, exit_status, host_path, lines_of, main,
                        run, skip_under_wine)


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


if __name__ == "__main__":
    main()
