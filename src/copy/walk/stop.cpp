#include "stop.h"

#include <atomic>

#include "../../report/report.h"

namespace vx {

namespace {

// Raised from a signal handler or the console's control thread: atomics
// only, all lock-free on the platforms built for.
std::atomic<int> g_requests{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Workers notice a stop too: only the first to find it reports it.
std::atomic<bool> g_reported{false};

}  // namespace

int RaiseStopRequest() {
  return g_requests.fetch_add(1);
}

void ClearStopRequests() {
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
