// Stopping a run safely. The first request to stop (Ctrl-C, Ctrl-Break, the
// console closing; SIGINT, SIGTERM, SIGHUP) only raises a flag: the walk
// notices it at the next chunk or entry, drops the file it was writing (the
// destination name keeps its old file), reports ERROR_OPERATION_ABORTED once
// and unwinds as under /StopAtFirstError, so the summary and both logs are
// still written. A second request ends the process at once.
#pragma once

#include <string_view>

#include "../platform/platform.h"

namespace vx {

// Installs the handler (once per process) and clears earlier requests.
void WatchForStopRequests();

// The handler the platform calls; safe inside a signal handler.
BOOL OnStopRequest(DWORD event);

// Whether a stop was asked for. The first call that finds it so, for the
// whole run, reports it: one ERR line with ERROR_OPERATION_ABORTED naming
// `subject`.
bool NoticeStop(std::u16string_view subject, std::u16string_view context);
bool StopRequested();

}  // namespace vx
