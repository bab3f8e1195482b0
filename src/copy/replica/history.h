// Keeping yesterday: with /History:, each version a run replaces or removes
// is moved (never copied) into a folder of the run's own in the history
// folder, `<run start in UTC>` (2026-12-09T020000Z, then -2, -3 ... where
// taken), at its path below the destination root, with its bytes, times,
// attributes and security as they were. A manifest beside it,
// `<run start>.json`, says in JSON lines what the run added, replaced and
// removed. A run that replaces and removes nothing makes no run folder; one
// that changes nothing writes no manifest either.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "../../platform/platform.h"
#include "../identity.h"
#include "../place.h"

namespace vx {

// Whether this run keeps what it replaces and removes.
bool KeepsHistory();

// Opens the history folder, made where missing with the destination root's
// security, and registers it, so that /Mirror never removes it and the walk
// never copies it; once the destination root exists. Where it is on another
// volume than a version, the version is copied there and then removed (one
// NOTE a run). False after reporting.
bool OpenHistory();

// Whether a directory of `identity` is the history folder (the walk never
// copies it), or holds it (/Mirror and /Verify leave it alone).
bool IsHistoryFolder(const FileIdentity& identity);
bool HoldsHistory(const FileIdentity& identity);

// Before `destination`'s object, open as `object`, loses its name to a new
// version: kept in the run's folder. Linked where the volume has hard
// links, so the name is never without a file; else moved away, and the
// caller puts the new version at the name at once (`*moved`); on another
// volume, copied. False after
// reporting: the old version stays and the caller replaces nothing.
bool KeepReplaced(HANDLE object, const Place& destination, bool* moved);

// Instead of a removal: the file, link or special file `name` of
// `directory`, at `path`, moved into the run's folder. False after
// reporting: it stays.
bool KeepRemoved(HANDLE directory, const char16_t* name, const std::u16string& path);

// A removed directory, open as `directory`, once emptied into the run's
// folder: its counterpart there (made where nothing moved into it), with
// its security and, as they were before it was emptied (`info`), its
// times. False after reporting: the emptied directory stays.
bool KeepRemovedDirectory(const std::u16string& path, const BY_HANDLE_FILE_INFORMATION& info,
                          HANDLE directory);

// An existing destination directory whose times the run is about to set
// to its source's: its times as they were (`info`, read as the run entered
// it), a manifest record where they differ, so that a restore as of an
// earlier night gives them back.
void NoteDirectoryTimes(const std::u16string& path, const BY_HANDLE_FILE_INFORMATION& info,
                        const BY_HANDLE_FILE_INFORMATION& source_info);

// A manifest line for an entry the run put at a name that held nothing.
void NoteNewEntry(const std::u16string& path, HANDLE object);

// The run's end: the manifest's last line (its end and exit) and, with
// /HistoryDays:, after a run without errors, run folders older than the
// days pruned, oldest first, one DEL line each, never the newest.
void CloseHistory(int32_t exit_code);

// With /HistoryDays:, the history folder's size after pruning, in bytes,
// as CloseHistory found it.
uint64_t HistoryBytes();

// Forgets the last run's history (tests run many runs in one process).
void ResetHistory();

// A run folder's name, from a start in FILETIME ticks: 2026-12-09T020000Z.
std::u16string RunFolderName(uint64_t ticks);
// The start a run folder or manifest is named for, in FILETIME ticks; false
// where `name` is no run folder's (or its manifest's).
bool RunFolderStart(std::u16string_view name, uint64_t* ticks);

}  // namespace vx
