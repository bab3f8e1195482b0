// A run that ends is on disk, and a run that did not end is known to the
// next one. The destination root carries, out of sight, the mark "running":
// the start of the earliest run that began writing there and has not ended
// (eight bytes, FILETIME ticks, least significant first). It is made
// durable before the run's first write below the root and removed once
// everything the run wrote is durable; a run that finds it copies again
// every file its destination changed after that start. Where a volume
// cannot be flushed whole (Windows without the right to open it, a share),
// each file is flushed before it gets its name instead.
#pragma once

#include <string>

#include "../../platform/platform.h"
#include "../place.h"

namespace vx {

// Reads what the last run that ended on the destination root recorded.
// Damage to a copy since that run ended, or a source changed since it
// began, has a change time at or after them; where no run recorded its end
// yet, or carried less than this run carries, every copy is compared once.
// Read before anything below the root, the root itself included, is
// compared.
void LearnLastEndedRun(HANDLE root);

// Reads an unfinished earlier run's mark from the destination root and
// marks this run, durably, before it first changes a name below it (at
// once where it must repair after a cut run). Returns false after
// reporting.
bool MarkRunStarted(HANDLE root, const std::u16string& root_path);

// Whether files a killed run left under temporary names may be found below
// the destination root: its marks show a run that did not end, or it keeps
// no marks to tell.
bool MayHoldLeftovers();

// Whether a destination object changed after an unfinished earlier run
// began (so a crash may have left it with a name but not its data).
bool ChangedInUnfinishedRun(HANDLE destination);

// A directory the run makes is private to the runner until its subtree is
// done and it gets its final security. It carries the mark "private" for
// that time, so that a rerun after a kill finishes exactly the directories
// a run left private, never one an administrator closed by hand. Where the
// destination keeps no marks, none is made (and none is healed). Returns
// false after reporting; the directory's walk goes on either way.
bool MarkPrivate(HANDLE directory, const std::u16string& path);
bool IsMarkedPrivate(HANDLE directory);
bool UnmarkPrivate(HANDLE directory, const std::u16string& path);

// Makes everything written on the file system of the open destination
// directory `directory` (at `path`) durable, in one call, where the run
// `changed` anything there; for the root, then ends the run's records.
// Returns false after reporting.
bool MakeDurable(HANDLE directory, const std::u16string& path, bool root, bool changed);

}  // namespace vx
