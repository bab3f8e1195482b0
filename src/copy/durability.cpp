#include "durability.h"

#include <cstring>

#include "../report/report.h"
#include "../run/run_state.h"
#include "access.h"

namespace vx {

namespace {
constexpr char16_t kRunningMark[] = u"running";
constexpr char16_t kPrivateMark[] = u"private";

bool SetPrivateMark(HANDLE directory, const std::u16string& path, bool on) {
  if (Os().SetDirectoryMark == nullptr) return true;
  static constexpr char kOn[] = "1";
  if (Os().SetDirectoryMark(directory, kPrivateMark, kOn, on ? 1 : 0)) return true;
  const DWORD code = Os().GetLastError();
  if (code == ERROR_NOT_SUPPORTED) return true;
  ReportWin32Error(path, u"CopyOneDirectory:SetPrivateMark(DESTINATION-DIR)", code);
  return false;
}
}  // namespace

bool MarkPrivate(HANDLE directory, const std::u16string& path) {
  return SetPrivateMark(directory, path, true);
}

bool UnmarkPrivate(HANDLE directory, const std::u16string& path) {
  return SetPrivateMark(directory, path, false);
}

bool IsMarkedPrivate(HANDLE directory) {
  if (Os().GetDirectoryMark == nullptr) return false;
  char value[8];
  DWORD returned = 0;
  return Os().GetDirectoryMark(directory, kPrivateMark, value, sizeof value, &returned) ||
         Os().GetLastError() == ERROR_MORE_DATA;
}

bool MarkRunStarted(HANDLE root, const std::u16string& root_path) {
  if (WritesNothing()) return true;
  if (Os().FlushVolume != nullptr && !Os().FlushVolume(root, 1)) State.FlushEachFile = true;
  if (Os().SetDirectoryMark == nullptr) return true;
  FILETIME now;
  Os().GetSystemTimeAsFileTime(&now);
  uint64_t since = FileTimeTicks(now);
  unsigned char value[8] = {};
  DWORD returned = 0;
  if (Os().GetDirectoryMark(root, kRunningMark, value, sizeof value, &returned) &&
      returned == sizeof value) {
    uint64_t earlier = 0;
    for (int i = 7; i >= 0; --i) earlier = earlier << 8 | value[i];
    State.UnfinishedRunStart = earlier;
    if (earlier < since) since = earlier;
  }
  for (int i = 0; i < 8; ++i) value[i] = static_cast<unsigned char>(since >> (8 * i));
  if (!Os().SetDirectoryMark(root, kRunningMark, value, sizeof value)) {
    const DWORD code = Os().GetLastError();
    // A file system that keeps no marks: a crash there is repaired by the
    // size and time rules alone.
    if (code == ERROR_NOT_SUPPORTED) return true;
    ReportWin32Error(root_path, u"CopyOneDirectory:SetFileAttributes(DESTINATION-DIR)", code);
    return false;
  }
  State.RunMarked = true;
  if (!Os().FlushFileBuffers(root)) {
    ReportWin32Error(root_path, u"CopyOneDirectory:FlushFileBuffers(DESTINATION-DIR)",
                     Os().GetLastError());
    return false;
  }
  return true;
}

bool ChangedInUnfinishedRun(HANDLE destination) {
  FILETIME change;
  return State.UnfinishedRunStart != 0 && Os().GetChangeTime != nullptr &&
         Os().GetChangeTime(destination, &change) &&
         FileTimeTicks(change) >= State.UnfinishedRunStart;
}

bool MakeDurable(HANDLE directory, const std::u16string& path, bool root) {
  if (WritesNothing()) return true;
  if (Os().FlushVolume != nullptr && !State.FlushEachFile && !Os().FlushVolume(directory, 0)) {
    ReportWin32Error(path, u"CopyOneDirectory:FlushFileBuffers(DESTINATION-DIR)",
                     Os().GetLastError());
    return false;
  }
  if (root && State.RunMarked) {
    State.RunMarked = false;
    if (!Os().SetDirectoryMark(directory, kRunningMark, nullptr, 0)) {
      ReportWin32Error(path, u"CopyOneDirectory:SetFileAttributes(DESTINATION-DIR)",
                       Os().GetLastError());
      return false;
    }
  }
  return true;
}

}  // namespace vx
