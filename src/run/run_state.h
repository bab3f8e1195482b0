// The run's settings, counters and state: what the copy engine reads
// (copy/run_settings.h) and the report writes with (report/books.h), set
// to their start values before each run.
#pragma once

#include "../copy/run_settings.h"

namespace vx {

// Sets settings, counters and state to their start values; open log sinks
// are closed first.
void ResetRun();

}  // namespace vx
