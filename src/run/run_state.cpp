#include "run_state.h"

namespace vx {

RunSettings Settings;
RunCounters Counters;
RunState State;

namespace {
constexpr uint32_t kDefaultCopyBufferSize = 524288;
constexpr int32_t kDefaultWaitSeconds = 30;
}

void ResetRun() {
  Settings = RunSettings{};
  Settings.CopyBufferSize = kDefaultCopyBufferSize;
  Settings.Wait = kDefaultWaitSeconds;
  Settings.Threads = 1;
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
  State.WithoutSystemSecurity = false;
  State.KeepLinks = false;
  State.CopyBuffers.clear();
  State.RemovalsLeft = 0;
  State.RemovalLimitReported = false;
  State.FlushEachFile = false;
  State.RunMarked = false;
  State.UnfinishedRunStart = 0;
  ++State.RunNumber;
  State.PreparedSource.clear();
  State.PreparedDestination.clear();
}

}  // namespace vx
