// Stopping a run safely. The first request to stop (Ctrl-C, Ctrl-Break, the
// console closing; SIGINT, SIGTERM, SIGHUP) only raises a flag: the walk
// notices it at the next chunk or entry, marks the file it was writing
// incomplete, reports ERROR_OPERATION_ABORTED once and unwinds as under
// /StopAtFirstError, so the summary and both logs are still written. A
// second request ends the process at once, after marking the open file.
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

// The destination file being written and the time that marks it incomplete,
// for a second request to date before ending the process.
void TrackOpenDestination(HANDLE file, const FILETIME& incomplete_mark);
void ForgetOpenDestination();

}  // namespace vx
