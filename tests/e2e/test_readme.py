"""Every example in an `sh` block of the README runs as written, in README
order, on generated trees: in a mount namespace of its own, with /srv, /mnt,
/tmp and /var/log on fresh tmpfs mounts, /var/log/velmox made as the package
makes it, and the built velmox first on the PATH. Linux build, as root."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from velmox_e2e import OPTIONS, WINDOWS, main

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")

# /srv/data and /srv/projects: files, a subdirectory, a link, a hard link
# and a name that is not UTF-8, as the examples copy them; /mnt/backup and
# /mnt/replica stand for the backup volumes mounted there.
TREES = r"""
mount -t tmpfs velmox-srv /srv
mount -t tmpfs velmox-mnt /mnt
mount -t tmpfs velmox-log /var/log
mount -t tmpfs velmox-tmp /tmp
mkdir -p /var/log/velmox /srv/data/sub /srv/projects/app /mnt/backup /mnt/replica
head -c 300000 /dev/urandom > /srv/data/large.bin
printf 'report\n' > /srv/data/sub/report.txt
ln /srv/data/sub/report.txt /srv/data/report-again.txt
ln -s sub/report.txt /srv/data/latest
printf 'caf\351\n' > "$(printf '/srv/data/caf\351')"
setfacl -m u:nobody:r /srv/data/sub/report.txt
printf 'int main() {}\n' > /srv/projects/app/main.c
cd /srv
"""


def examples():
    """(line, text) of each sh block of the README."""
    with open(README, encoding="utf-8") as readme:
        text = readme.read()
    found = []
    for match in re.finditer(r"^```sh\n(.*?)^```$", text, re.M | re.S):
        found.append((text.count("\n", 0, match.start()) + 1, match.group(1)))
    return found


@unittest.skipIf(WINDOWS, "the examples are Linux shell")
@unittest.skipIf(os.name != "posix" or os.geteuid() != 0, "needs root for a mount namespace")
class ReadmeExamplesTest(unittest.TestCase):
    def test_every_sh_example_runs_as_written(self):
        blocks = examples()
        self.assertGreaterEqual(len(blocks), 3)
        # The examples get their own /tmp, /srv, /mnt and /var/log, which may
        # hold the checkout: the driver keeps its folder open on descriptor 9
        # and reaches it through /proc after the mounts hide its path.
        with tempfile.TemporaryDirectory(prefix="readme-", dir=os.path.dirname(
                os.path.abspath(OPTIONS.exe))) as work:
            shutil.copy2(os.path.abspath(OPTIONS.exe), os.path.join(work, "velmox"))
            kept = "/proc/$$/fd/9"
            driver = ["set -e", f'exec 9<"{work}"', f'W={kept}', TREES, 'export PATH="$W:$PATH"']
            for line, text in blocks:
                with open(os.path.join(work, f"example-{line}.sh"), "w", encoding="utf-8") as out:
                    out.write(text)
                driver.append(f'bash -e "$W/example-{line}.sh" >>"$W/output" 2>&1 || '
                              f'{{ echo "README line {line}: exit $?"; exit 1; }}')
            done = subprocess.run(["unshare", "--mount", "--propagation", "private", "bash",
                                   "-c", "\n".join(driver)],
                                  capture_output=True, text=True, timeout=300)
            output = open(os.path.join(work, "output"), encoding="latin-1").read() \
                if os.path.exists(os.path.join(work, "output")) else ""
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr + output[-3000:])
            self.assertIn("Differences    : 0", output)  # the copy checks out byte for byte


if __name__ == "__main__":
    main()
