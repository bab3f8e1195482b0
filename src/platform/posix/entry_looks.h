// Looks at a directory's listed entries: one at a time where a look is
// quick, many at once where the file system makes each a round trip (a
// share, a cold disk), as a Windows listing on a share brings every
// entry's size and times in one answer. Only the listing uses this.
#pragma once

#include <chrono>
#include <cstddef>

#include "internal.h"

namespace vx::posix {

// Takes the look at `look->name` in `directory`.
void LookAtEntry(int directory, EntryLook* look);

// Whether looks in a directory on the device `directory` names take long
// enough that they are better taken many at once: 1 where they do, 0 where
// they do not, -1 until the device is judged from its first few looks,
// each timed into NoteLookTime (which returns the verdict so far).
int JudgedLooks(const Status& directory);
int NoteLookTime(const Status& directory, std::chrono::steady_clock::duration spent);

// Takes the looks of `count` entries of `directory` at once, the calling
// thread among the lookers (as many as SetLooksAtOnce allows, which are
// started on the first such call and kept for the process); returns once
// all are taken.
void LookAtAll(int directory, EntryLook* looks, size_t count);

// For tests: the device of `directory` judged slow (or quick) from now on.
void JudgeLooks(const Status& directory, bool slow);

}  // namespace vx::posix
