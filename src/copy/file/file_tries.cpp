#include "file_tries.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "../../report/report.h"
#include "../run_settings.h"
#include "../walk/stop.h"
#include "copy_file.h"
#include "verify_file.h"

namespace vx {

namespace {

// Waits /Wait: seconds before a file is tried again, in short steps so that
// a stop request ends the wait at once; false when one did.
bool WaitBeforeRetry() {
  constexpr DWORD kStepMilliseconds = 100;
  for (uint64_t left = uint64_t{static_cast<uint32_t>(Settings.Wait)} * 1000; left > 0;) {
    if (StopRequested()) return false;
    const DWORD step = static_cast<DWORD>(std::min<uint64_t>(left, kStepMilliseconds));
    Os().Sleep(step);
    left -= step;
  }
  return !StopRequested();
}

}  // namespace

namespace {

// /List tries each file once: it reads nothing a later try could get.
int CopyTrying(const Place& source, const Place& destination) {
  for (int32_t tries_left = Settings.List ? 0 : Settings.Retry;; --tries_left) {
    BeginTry(tries_left > 0);
    const int result =
        Settings.Verify ? VerifyOneFile(source, destination) : CopyOneFile(source, destination);
    FileTry& current = CurrentTry();
    current.may_retry = false;
    if (!current.failure_pending) return result;
    current.failure_pending = false;
    UndoTry();
    if (!WaitBeforeRetry()) {
      const FileTry kept = current;
      ReportWin32Error(kept.subject, kept.context, kept.code);
      NoticeStop(destination.path, u"CopyOneFile:Interrupted(DESTINATION)");
      return 0;
    }
  }
}

}  // namespace

// Memory that runs out while a file is copied (on a worker too, where
// nothing above would catch it) fails that file, never the process.
int CopyFileTrying(const Place& source, const Place& destination) {
  int result = 0;
  try {
    result = CopyTrying(source, destination);
  } catch (const std::bad_alloc&) {
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(SOURCE)", ERROR_NOT_ENOUGH_MEMORY);
  }
  SettleFile(result);
  return result;
}

}  // namespace vx
