#include "stop.h"

#include <atomic>

#include "../report/report.h"

namespace vx {

namespace {

// Touched from a signal handler or the console's control thread: atomics
// only, all lock-free on the platforms built for.
std::atomic<int> g_requests{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Workers notice a stop too: only the first to find it reports it.
std::atomic<bool> g_reported{false};

}  // namespace

// A file being written has no name of its own yet, so ending the process
// leaves every destination name as it was (see CopyOneFile).
BOOL OnStopRequest(DWORD) {
  if (g_requests.fetch_add(1) == 0) return 1;
  Os().ExitProcess(static_cast<UINT>(-1));
  return 1;
}

void WatchForStopRequests() {
  static bool installed = false;
  if (!installed) installed = Os().SetConsoleCtrlHandler(OnStopRequest, 1) != 0;
  g_requests.store(0);
  g_reported.store(false);
}

bool StopRequested() {
  return g_requests.load() != 0;
}

bool NoticeStop(std::u16string_view subject, std::u16string_view context) {
  if (!StopRequested()) return false;
  if (!g_reported.exchange(true)) {
    ReportWin32Error(subject, context, ERROR_OPERATION_ABORTED);
  }
  return true;
}

}  // namespace vx
