#pragma once

#include "../identity.h"
#include "../place.h"

namespace vx {

// Copies one file: decides from the destination and /Overwrite, /OnlyNewer
// whether to copy, then moves data, time stamps and (with
// /SecurityDescriptor) the descriptor. Returns 1 when copied or skipped, 0
// after reporting one error. A destination that is the source itself (a
// hard link, an alias) is never written, and the run's own log files are
// neither copied nor copied over.
int CopyOneFile(const Place& source, const Place& destination);

// What CopyOneNode returns, without a word, for an entry listed as a link
// or special file that is neither when opened (a reparse point that holds
// data, a name swapped meanwhile): the walk copies it as a file or
// directory.
constexpr int kNotANode = -2;

// Copies a link as a link (its target unchanged, never followed) or, with
// /Specials, a FIFO, socket or device as a node of its kind, with its own
// times and (with /SecurityDescriptor) security, by the rules files are
// replaced by. Announces it as a file of size 0; returns 1 when copied or
// skipped, 0 after reporting one error, or kNotANode.
int CopyOneNode(const Place& source, const Place& destination);

}  // namespace vx
