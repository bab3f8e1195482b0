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

// Closes `fd` of a file read only, whose `status` is on a device judged
// slow, on one of the lookers, where its close is a round trip (the flush
// of a share) the copy need not wait for: a close of what was only read
// loses nothing if it fails. False where the caller closes it itself (no
// looker started, too many closes waiting, a quick device).
bool CloseLater(int fd, const Status& status);
// Returns once every descriptor handed to CloseLater is closed.
void WaitForCloses();

// For tests: the device of `directory` judged slow (or quick) from now on.
void JudgeLooks(const Status& directory, bool slow);

}  // namespace vx::posix
