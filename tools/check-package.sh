#!/usr/bin/env bash
# Checks the packages `make package` made as a user meets them: lintian on
# the .deb, the systemd units, the Windows zip's scheduled task; then (as
# root) installs the .deb here and checks what it promises: the binary is
# root:velmox 0750 with exactly the listed capabilities, a nightly job run
# by a member of the group copies what only root may read, anybody else
# cannot run it, an owner and mode set with dpkg-statoverride are kept, and
# the group and its members outlive a removal and go with a purge.
# It changes the machine (a package, a group, two users) and undoes it.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(ls build/deb/velmox_*.deb 2>/dev/null | head -n 1)
zip=$(ls build/windows/velmox-*-windows-x64.zip 2>/dev/null | head -n 1)
[ -n "$deb" ] && [ -n "$zip" ] || { echo "check-package: run make package first" >&2; exit 2; }

failed=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failed=1; fi
}

check "lintian: no error or warning" \
  bash -c "lintian --fail-on error,warning build/deb/velmox_*.changes 2>/dev/null"
check "a debug symbols package" test -n "$(ls build/deb/velmox-dbgsym_*.deb)"
check "the binary is stripped" \
  bash -c "dpkg-deb --fsys-tarfile '$deb' | tar -xOf - ./usr/lib/velmox/velmox > /tmp/velmox.$$ &&
           ! file /tmp/velmox.$$ 2>/dev/null | grep -q 'not stripped'; rm -f /tmp/velmox.$$"
check "the zip holds the program, the README, the task scripts (CRLF) and a task that parses" \
  python3 - "$zip" <<'PY'
import sys, zipfile, xml.etree.ElementTree as tree
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
assert {"velmox.exe", "README.md", "velmox-nightly.xml", "install-task.cmd", "velmox-task.cmd",
        "velmox-job.txt"} <= names, names
for script in ("install-task.cmd", "velmox-task.cmd", "velmox-job.txt"):
    assert b"\n" not in zipfile.ZipFile(sys.argv[1]).read(script).replace(b"\r\n", b""), script
task = tree.fromstring(zipfile.ZipFile(sys.argv[1]).read("velmox-nightly.xml"))
ns = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
assert task.find("t:Actions/t:Exec/t:Command", ns).text.endswith("velmox.exe")
assert task.find("t:Principals/t:Principal/t:UserId", ns).text == "S-1-5-18"
PY
check "the zip's velmox.exe is stripped, its debug file beside the zip" \
  python3 - "$zip" <<'PY'
import os, sys, zipfile
assert b".debug_info" not in zipfile.ZipFile(sys.argv[1]).read("velmox.exe")
debug = os.path.join(os.path.dirname(sys.argv[1]), "velmox.exe.debug")
assert b".debug_info" in open(debug, "rb").read()
PY

if [ "$(id -u)" != 0 ]; then
  echo "check-package: the install checks need root; skipped" >&2
  exit $failed
fi

work=$(mktemp -d)
cleanup() {
  dpkg-statoverride --remove /usr/lib/velmox/velmox >/dev/null 2>&1 || true
  dpkg --purge velmox >/dev/null 2>&1 || true
  userdel velmox-member >/dev/null 2>&1 || true
  userdel velmox-outsider >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
dpkg --purge velmox >/dev/null 2>&1 || true  # what an interrupted check left
install_deb() { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "./$deb" >/dev/null 2>&1; }

install_deb
check "installed root:velmox 0750" \
  test "$(stat -c '%U:%G %a' /usr/lib/velmox/velmox)" = "root:velmox 750"
check "exactly the listed capabilities on the file" \
  test "$(getcap /usr/lib/velmox/velmox)" = \
       "/usr/lib/velmox/velmox cap_chown,cap_dac_override,cap_dac_read_search,cap_fowner,cap_fsetid,cap_sys_admin,cap_setfcap=p"
check "manual page installed compressed" test -f /usr/share/man/man1/velmox.1.gz
check "logrotate file for /var/log/velmox" grep -q '^/var/log/velmox/' /etc/logrotate.d/velmox
check "/var/log/velmox is root:velmox 2770" \
  test "$(stat -c '%U:%G %a' /var/log/velmox)" = "root:velmox 2770"
verify_units() {  # quiet when the units are sound; else what it found, on stderr
  local found
  found=$(systemd-analyze verify /lib/systemd/system/velmox@nightly.service \
          /lib/systemd/system/velmox@nightly.timer 2>&1)
  [ -z "$found" ] || { echo "$found" >&2; return 1; }
}
check "systemd-analyze verifies the units" verify_units

# A job: a tree only root may read, copied by a member of the group through
# the job runner the service uses.
useradd --no-create-home --groups velmox velmox-member
useradd --no-create-home velmox-outsider
mkdir -p "$work/secret/inner" "$work/logs" "$work/jobs"
echo "for root only" > "$work/secret/inner/data"
chmod 0700 "$work/secret" "$work/secret/inner"
chmod 0777 "$work/logs"
chmod 0755 "$work"
printf '%s\n' "# a job file" "/Source:$work/secret" "/Dest:$work/copy dir" /SubDirectories \
  /SecurityDescriptor /CreateDestinationDirectory /OnlyNewer "" /Silent \
  "/AppendLog:$work/logs/job.log" > "$work/jobs/check.conf"
as() { runuser -u "$1" -- "${@:2}"; }  # with the user's groups, as a login has them
nightly() { as velmox-member /usr/lib/velmox/velmox-job "$work/jobs/check.conf"; }
check "a member's nightly job copies what only root may read" nightly
check "  ... with owner, mode and data intact" \
  bash -c "[ \"\$(stat -c '%U %a' '$work/copy dir/inner')\" = 'root 700' ] &&
           cmp -s '$work/secret/inner/data' '$work/copy dir/inner/data'"
second_night() { nightly && [ "$(grep -c '^Files  ' "$work/logs/job.log")" = 2 ]; }
check "  ... and again the next night, the log appended" second_night
check "the generator makes the job need its mounts" \
  bash -c "VELMOX_JOBS='$work/jobs' /lib/systemd/system-generators/velmox-generator '$work/gen' &&
           grep -qxF 'RequiresMountsFor=\"$work/secret\" \"$work/copy dir\" \"$work/logs\"' \
             '$work/gen/velmox@check.service.d/50-velmox-mounts.conf'"
check "a member's job logs to /var/log/velmox, which logrotate then rotates" \
  bash -c "sed 's|^/AppendLog:.*|/AppendLog:/var/log/velmox/check.log|' '$work/jobs/check.conf' \
             > '$work/jobs/varlog.conf' &&
           runuser -u velmox-member -- /usr/lib/velmox/velmox-job '$work/jobs/varlog.conf' &&
           grep -q '^Files  ' /var/log/velmox/check.log &&
           logrotate -d /etc/logrotate.d/velmox >/dev/null 2>&1 &&
           logrotate -f /etc/logrotate.d/velmox && test -e /var/log/velmox/check.log.1 &&
           runuser -u velmox-member -- /usr/lib/velmox/velmox-job '$work/jobs/varlog.conf'"
rm -f /var/log/velmox/check.log*
check "anybody may read the usage" \
  bash -c "runuser -u velmox-outsider -- /usr/bin/velmox --help | grep -q '^Usage  ' &&
           runuser -u velmox-outsider -- /usr/bin/velmox | cmp -s - /usr/share/velmox/usage.txt"
check "a non-member cannot run it" \
  bash -c "! runuser -u velmox-outsider -- /usr/bin/velmox '/Source:$work/secret' \
             '/Dest:$work/outsider' /CreateDestinationDirectory >/dev/null 2>&1 &&
           test ! -e '$work/outsider'"

dpkg -r velmox >/dev/null
check "removal takes the program away" test ! -e /usr/bin/velmox
check "removal keeps the group and its members" \
  bash -c "getent group velmox | grep -q velmox-member"
install_deb
member_runs() { id -nG velmox-member | grep -qw velmox && nightly; }
check "a reinstall finds the member in the group, who runs the job" member_runs

dpkg-statoverride --add root velmox 0710 /usr/lib/velmox/velmox
install_deb
check "an owner and mode set with dpkg-statoverride are kept" \
  test "$(stat -c '%U:%G %a' /usr/lib/velmox/velmox)" = "root:velmox 710"
check "  ... and the capabilities set all the same" test -n "$(getcap /usr/lib/velmox/velmox)"
dpkg-statoverride --remove /usr/lib/velmox/velmox

dpkg --purge velmox >/dev/null
check "purging takes the group away" bash -c "! getent group velmox >/dev/null"
exit $failed
