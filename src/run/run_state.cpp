#include "run_state.h"

namespace vx {

RunSettings Settings;
RunState State;
const ReportSettings& ReportedSettings = Settings;
ReportSinks& Sinks = State;

namespace {
constexpr uint32_t kDefaultCopyBufferSize = 524288;
constexpr int32_t kDefaultWaitSeconds = 30;
}

void ResetRun() {
  Settings = RunSettings{};
  Settings.CopyBufferSize = kDefaultCopyBufferSize;
  Settings.Wait = kDefaultWaitSeconds;
  Settings.Threads = 1;
  if (Os().SetLooksAtOnce != nullptr) Os().SetLooksAtOnce(1);
  Counters = RunCounters{};
  State.Log.Close();
  State.ErrorLog.Close();
  State.JsonLog.Close();
  State.NtQueryDirectoryFile = nullptr;
  State.RtlNtStatusToDosError = nullptr;
  State.COPYBUFFER = nullptr;
  State.SourceRootLength = 0;
  State.AtTopLevel = 1;
  State.StartTime = FILETIME{};
  State.CommandLine.clear();
  WriteTextAsUtf8(false);
  State.WithoutSystemSecurity = false;
  State.KeepLinks = false;
  State.CopyBuffers.clear();
  State.RemovalsLeft = 0;
  State.RemovalLimitReported = false;
  State.FlushEachFile = false;
  State.RunMarked = false;
  State.RunMarkName.clear();
  // A run that never reached its end (a test's, cut short) lets go of its
  // mark's lock here.
  if (State.RunMarkLock != nullptr && State.RunMarkLock != INVALID_HANDLE_VALUE) {
    Os().CloseHandle(State.RunMarkLock);
  }
  State.RunMarkLock = INVALID_HANDLE_VALUE;
  State.UnfinishedRunStart = 0;
  State.UnfinishedRunMarks.clear();
  State.CompareSourcesSince = UINT64_MAX;
  State.CompareCopiesSince = UINT64_MAX;
  State.ComparedSinceRecord = false;
  ++State.RunNumber;
  State.PreparedSource.clear();
  State.PreparedDestination.clear();
}

}  // namespace vx
