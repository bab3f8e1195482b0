#!/usr/bin/env bash
# Generates a small sample tree and copies it with both builds, as an
# administrator would: subdirectories, security descriptors, a created
# destination root and a log file.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
demo="$top/demo"
rm -rf "$demo"
mkdir -p "$demo/sample/docs/drafts" "$demo/sample/media" "$demo/sample/private"
printf 'Velmox copies trees with backup rights.\n' > "$demo/sample/README.txt"
head -c 1500 /dev/urandom > "$demo/sample/docs/notes.bin"
head -c 131072 /dev/urandom > "$demo/sample/docs/drafts/chapter1.bin"
head -c 3000000 /dev/urandom > "$demo/sample/media/clip.bin"
: > "$demo/sample/docs/empty.txt"
printf 'only the owner may read this\n' > "$demo/sample/private/secret.txt"
chmod 600 "$demo/sample/private/secret.txt"
chmod 700 "$demo/sample/private"
printf 'shared with user 1000\n' > "$demo/sample/docs/shared.txt"
setfacl -m u:1000:rw "$demo/sample/docs/shared.txt"
setfacl -d -m g:100:rx "$demo/sample/media"
touch -d '2024-02-29 12:00:00' "$demo/sample/README.txt"

echo "== Linux build: build/linux/velmox =="
status=0
"$top/build/linux/velmox" "/Source:$demo/sample" "/Dest:$demo/copy-linux" /SubDirectories \
  /SecurityDescriptor /CreateDestinationDirectory "/Log:$demo/copy-linux.log" || status=$?
echo "exit code: $status"
echo
echo "Owner, mode and ACLs at the destination:"
(cd "$demo/copy-linux" && ls -lR . && getfacl -p docs/shared.txt media 2>/dev/null)

echo
echo "== Windows build under Wine: build/windows/velmox.exe =="
status=0
wine "$top/build/windows/velmox.exe" "/Source:Z:${demo//\//\\}\\sample" \
  "/Dest:Z:${demo//\//\\}\\copy-windows" /SubDirectories /SecurityDescriptor /CreateDestinationDirectory \
  "/Log:Z:${demo//\//\\}\\copy-windows.log" </dev/null 2>/dev/null || status=$?
echo "exit code: $status"
echo
echo "Logs: $demo/copy-linux.log, $demo/copy-windows.log"
