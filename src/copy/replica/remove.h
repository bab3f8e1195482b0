// Removing what the source no longer has (/Mirror): an entry of the
// destination, a directory with everything in it, always relative to its
// open parent and never through a link.
#pragma once

#include <string>

#include "../../platform/platform.h"
#include "../place.h"

namespace vx {

// Removes `name` from the open destination directory `parent` (its full
// path `path`): a file, link or special file as itself, a directory with
// everything in it. Writes one DEL line once it is gone (/List: writes the
// line and removes nothing). The run's own logs are never removed: true
// without a line. A failure is one ERR, for the entry that could not be
// removed; the rest of a directory goes on, and false is returned.
bool RemoveEntry(HANDLE parent, const char16_t* name, const std::u16string& path);

// Removes the directory `name` of `parent` with everything in it, as
// nothing of the replica's rules asks: a history's own run folder, pruned.
// False after reporting.
bool RemoveWholeTree(HANDLE parent, const char16_t* name, const std::u16string& path);

// Whether /Mirror may remove what the destination holds at `destination`
// in another kind than its source entry's, to put the source's kind there
// (the rules' MayRemove, for the place's directory). Never at a root.
bool MayReplaceKind(const Place& destination);

}  // namespace vx
