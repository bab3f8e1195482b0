// The run's books as report lines see them: the counters they number and
// raise, the logs' sinks, and the settings that decide what a line shows.
// The run owns all of them: its settings and state (copy/run_settings.h)
// extend the parts declared here, and the run binds the report to them.
#pragma once

#include <cstdint>

#include "../platform/platform.h"
#include "sink.h"

namespace vx {

struct RunCounters {
  int32_t DirectoryCount;
  int32_t FileCount;
  int32_t NewCount;
  int32_t NewerCount;
  int32_t OverwrittenCount;
  int32_t ErrorCount;
  uint64_t ByteCount;
  int32_t DeletedCount;  // /Mirror's removals
  int32_t RetryCount;    // /Retry:'s further tries
  int32_t NoteCount;     // NOTE lines: what the run left out, and why
  int32_t DifferenceCount;  // /Verify's DIFF lines
};

extern RunCounters Counters;

// The settings a report line depends on.
struct ReportSettings {
  int32_t Silent;
  int32_t List;
  // /Verify: the copy's bytes compared with the source's, nothing written.
  int32_t Verify;
};

// Where lines go, and the platform's conversion of an NT status to a
// system error code.
struct ReportSinks {
  Sink Log;
  Sink ErrorLog;
  Sink JsonLog;
  RtlNtStatusToDosErrorFn RtlNtStatusToDosError;
};

// The run's settings and state, as the report reads and writes them.
extern const ReportSettings& ReportedSettings;
extern ReportSinks& Sinks;

}  // namespace vx
