// Stopping a run safely. The first request to stop (Ctrl-C, Ctrl-Break, the
// console closing; SIGINT, SIGTERM, SIGHUP) only raises the walk's flag
// (copy/walk/stop.h), so the summary and both logs are still written. A second
// request ends the process at once.
#pragma once

#include "../copy/walk/stop.h"
#include "../platform/platform.h"

namespace vx {

// Installs the handler (once per process) and clears earlier requests.
void WatchForStopRequests();

// The handler the platform calls; safe inside a signal handler.
BOOL OnStopRequest(DWORD event);

}  // namespace vx
