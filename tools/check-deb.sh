#!/usr/bin/env bash
# Installs the .deb made by `make package` on this machine (as root) and
# checks what it promises: the binary is root:velmox 0750 with exactly the
# listed capabilities, a member of the group can run it with those powers,
# anybody else cannot run it at all, and removal takes it all away again.
# It changes the machine (a package, a group, two users) and undoes it.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "check-deb: run as root" >&2; exit 2; }
deb=$(ls build/linux/velmox_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "check-deb: no build/linux/velmox_*.deb; run make package" >&2; exit 2; }

failed=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failed=1; fi
}
work=$(mktemp -d)
cleanup() {
  userdel velmox-member >/dev/null 2>&1 || true
  userdel velmox-outsider >/dev/null 2>&1 || true
  dpkg -r velmox >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

check "maintainer scripts grant the capabilities to the group only" \
  bash -c "dpkg-deb -I '$deb' postinst | grep -q 'chown root:velmox /usr/bin/velmox' &&
           dpkg-deb -I '$deb' postinst | grep -q 'chmod 0750' &&
           dpkg-deb -I '$deb' postinst | grep -q 'setcap cap_dac_read_search'"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
check "installed root:velmox 0750" test "$(stat -c '%U:%G %a' /usr/bin/velmox)" = "root:velmox 750"
check "exactly the listed capabilities on the file" \
  test "$(getcap /usr/bin/velmox)" = \
       "/usr/bin/velmox cap_chown,cap_dac_override,cap_dac_read_search,cap_fowner,cap_fsetid,cap_sys_admin,cap_setfcap=p"
check "manual page installed" test -f /usr/share/man/man1/velmox.1

useradd --no-create-home --groups velmox velmox-member
useradd --no-create-home velmox-outsider
# A tree only root may read.
mkdir -p "$work/secret/inner" && echo "for root only" > "$work/secret/inner/data"
chmod 0700 "$work/secret" "$work/secret/inner"
chmod 0755 "$work"
as() { runuser -u "$1" -- "${@:2}"; }  # with the user's groups, as a login has them
check "a member copies what only root may read" \
  as velmox-member /usr/bin/velmox "/Source:$work/secret" "/Dest:$work/copy" /SubDirectories \
     /SecurityDescriptor /CreateDestinationDirectory /Silent
check "  ... with owner, mode and data intact" \
  bash -c "[ \"\$(stat -c '%U %a' '$work/copy/inner')\" = 'root 700' ] &&
           cmp -s '$work/secret/inner/data' '$work/copy/inner/data'"
check "a non-member cannot run it" \
  bash -c "! runuser -u velmox-outsider -- /usr/bin/velmox >/dev/null 2>&1"

dpkg -r velmox >/dev/null
check "removal takes the program away" test ! -e /usr/bin/velmox
check "removal takes the group away" bash -c "! getent group velmox >/dev/null"
exit $failed
