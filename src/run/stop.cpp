#include "stop.h"

namespace vx {

// A file being written has no name of its own yet, so ending the process
// leaves every destination name as it was (see CopyOneFile).
BOOL OnStopRequest(DWORD) {
  if (RaiseStopRequest() == 0) return 1;
  Os().ExitProcess(static_cast<UINT>(-1));
  return 1;
}

void WatchForStopRequests() {
  static bool installed = false;
  if (!installed) installed = Os().SetConsoleCtrlHandler(OnStopRequest, 1) != 0;
  ClearStopRequests();
}

}  // namespace vx
