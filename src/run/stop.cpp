#include "stop.h"

#include <atomic>

#include "../report/report.h"

namespace vx {

namespace {

// Touched from a signal handler or the console's control thread: atomics
// only, all lock-free on the platforms built for.
std::atomic<int> g_requests{0};
std::atomic<HANDLE> g_open_destination{nullptr};
std::atomic<uint64_t> g_open_mark{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<HANDLE>::is_always_lock_free &&
              std::atomic<uint64_t>::is_always_lock_free);

bool g_reported = false;

}  // namespace

BOOL OnStopRequest(DWORD) {
  if (g_requests.fetch_add(1) == 0) return 1;
  HANDLE open = g_open_destination.load();
  const uint64_t mark = g_open_mark.load();
  if (open != nullptr && mark != 0) {
    const FILETIME time = FileTimeFromTicks(mark);
    Os().SetFileTime(open, nullptr, nullptr, &time);
  }
  Os().ExitProcess(static_cast<UINT>(-1));
  return 1;
}

void WatchForStopRequests() {
  static bool installed = false;
  if (!installed) installed = Os().SetConsoleCtrlHandler(OnStopRequest, 1) != 0;
  g_requests.store(0);
  g_reported = false;
  ForgetOpenDestination();
}

bool StopRequested() {
  return g_requests.load() != 0;
}

bool NoticeStop(std::u16string_view subject, std::u16string_view context) {
  if (!StopRequested()) return false;
  if (!g_reported) {
    g_reported = true;
    ReportWin32Error(subject, context, ERROR_OPERATION_ABORTED);
  }
  return true;
}

void TrackOpenDestination(HANDLE file, const FILETIME& incomplete_mark) {
  g_open_mark.store(FileTimeTicks(incomplete_mark));
  g_open_destination.store(file);
}

void ForgetOpenDestination() {
  g_open_destination.store(nullptr);
}

}  // namespace vx
