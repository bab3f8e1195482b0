// Deciding on a file: what the destination holds at its name, and whether
// the run copies, skips or refreshes it.
#pragma once

#include "../../platform/platform.h"
#include "../identity.h"
#include "../place.h"

namespace vx {

// kRefresh: the data is up to date, but what the run carries besides it
// (security, attributes) changed at the source since the copy was made.
enum class Decision { kCopy, kSkip, kRefresh, kFailed };

// Looks at what the destination name holds, asks the rules (rules.h) what
// the file gets, carries out their answer (a kind replaced, an ERR) and
// raises the counter of the decision. `*probe` stays open on a file found
// at the name, for the security a replacement keeps; `*found` is its
// identity.
Decision Decide(const Place& source, const Place& destination, HANDLE source_file,
                const BY_HANDLE_FILE_INFORMATION& source_info, HANDLE* probe,
                FileIdentity* found);

// Whether the copy `copy` of `source` may differ from it in the security or
// attributes the run carries (owner, group and mode always compared, the
// rest where either changed since the last ended run, or the source after
// its copy), so that they are compared and set. A copy compared only for a
// change since that run makes this run record its own end. The records
// themselves change `the_root` after each run's end: its own change time
// says nothing of damage, and only its source's is asked.
bool MetadataMayDiffer(HANDLE source, HANDLE copy, bool the_root = false);

// With /Mirror, the object found at a source entry's name and kept there is
// noted, so that no name comparison can make /Mirror remove it.
void NoteMatched(const Place& destination, const FileIdentity& identity);

// Whether `file`, of `identity`, is one of the run's own logs. The 64-bit
// index is asked first; only where it matches is the full identifier
// looked up (into `identity`).
bool IsRunOutput(HANDLE file, FileIdentity* identity);

}  // namespace vx
