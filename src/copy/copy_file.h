#pragma once

#include "place.h"

namespace vx {

// Copies one file: decides from the destination and /Overwrite, /OnlyNewer
// whether to copy, then moves data, time stamps and (with
// /SecurityDescriptor) the descriptor. Returns 1 when copied or skipped, 0
// after reporting one error. A destination that is the source itself (a
// hard link, an alias) is never written, and the run's own log files are
// neither copied nor copied over.
int CopyOneFile(const Place& source, const Place& destination);

}  // namespace vx
