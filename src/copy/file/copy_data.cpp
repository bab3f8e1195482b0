#include "copy_data.h"

#include <algorithm>

#include "../../report/progress.h"
#include "../../report/report.h"
#include "../run_settings.h"
#include "../walk/stop.h"
#include "volume_features.h"

namespace vx {

bool ReportSourceChanged(const std::u16string& source) {
  ReportWin32Error(source, u"CopyOneFile:SourceChanged(SOURCE)", ERROR_FILE_INVALID);
  return false;
}

namespace {

thread_local void* t_copy_buffer = nullptr;

}  // namespace

void* ThreadCopyBuffer() {
  return t_copy_buffer != nullptr ? t_copy_buffer : State.COPYBUFFER;
}

void UseCopyBuffer(void* buffer) {
  t_copy_buffer = buffer;
}

namespace {

// Reads up to `want` bytes into the copy buffer and writes what was read; the
// count moved (0 at the end of the source) goes to *moved and to Size.
// Returns false after reporting.
bool ThroughBuffer(HANDLE source_file, HANDLE destination_file, const std::u16string& source,
                   const std::u16string& destination, DWORD want, DWORD* moved) {
  DWORD bytes_read = 0;
  void* const buffer = ThreadCopyBuffer();
  if (!Os().ReadFile(source_file, buffer, want, &bytes_read, nullptr)) {
    ReportWin32Error(source, u"CopyOneFile:ReadFile(SOURCE)", Os().GetLastError());
    return false;
  }
  *moved = 0;
  if (bytes_read == 0) return true;
  DWORD bytes_written = 0;
  if (!Os().WriteFile(destination_file, buffer, bytes_read, &bytes_written, nullptr)) {
    ReportWin32Error(destination, u"CopyOneFile:WriteFile(DESTINATION)", Os().GetLastError());
    return false;
  }
  if (bytes_written != bytes_read) {
    ReportShortWrite(destination, bytes_read, bytes_written);
    return false;
  }
  CountBytes(bytes_written);
  *moved = bytes_written;
  return true;
}

}  // namespace

bool CopyData(HANDLE source_file, HANDLE destination_file, const std::u16string& source,
              const std::u16string& destination, uint64_t size) {
  bool in_kernel = Os().CopyFileRange != nullptr;
  uint64_t copied = 0;
  for (;;) {
    if (NoticeStop(destination, u"CopyOneFile:Interrupted(DESTINATION)")) return false;
    if (copied > size) return ReportSourceChanged(source);
    if (copied == size && size > 0) return true;
    if (in_kernel) {
      uint64_t moved = 0;
      if (Os().CopyFileRange(source_file, destination_file, Settings.CopyBufferSize, &moved)) {
        if (moved == 0) return copied == size || ReportSourceChanged(source);
        CountBytes(moved);
        copied += moved;
        ShowProgress(source, copied, size);
        continue;
      }
      in_kernel = false;
    }
    DWORD moved = 0;
    if (!ThroughBuffer(source_file, destination_file, source, destination, Settings.CopyBufferSize,
                       &moved)) {
      return false;
    }
    if (moved == 0) return copied == size || ReportSourceChanged(source);
    copied += moved;
    ShowProgress(source, copied, size);
  }
}

// Only the ranges that hold data are read and written, at their offsets in
// a sparse copy; the holes between them, never written, stay holes and are
// counted as the kernel copy counts them. A volume without sparse files
// fills them with zeros: the copy is dense, its bytes the same.
bool CopySparseData(HANDLE source_file, HANDLE destination_file, const std::u16string& source,
                    const std::u16string& destination, uint64_t size) {
  if (KeepsSparseFiles(destination_file) && !Os().SetSparse(destination_file)) {
    ReportWin32Error(destination, u"CopyOneFile:DeviceIoControl(DESTINATION)", Os().GetLastError());
    return false;
  }
  constexpr DWORD kRangesAtOnce = 64;
  FILE_ALLOCATED_RANGE_BUFFER ranges[kRangesAtOnce];
  const auto end = static_cast<int64_t>(size);
  int64_t done = 0;  // everything before it is copied or a hole
  for (bool more = true; more && done < end;) {
    DWORD count = 0;
    if (!Os().GetAllocatedRanges(source_file, done, end - done, ranges, kRangesAtOnce, &count)) {
      const DWORD code = Os().GetLastError();
      if (code != ERROR_MORE_DATA || count == 0) {
        ReportWin32Error(source, u"CopyOneFile:DeviceIoControl(SOURCE)", code);
        return false;
      }
    } else {
      more = false;
    }
    for (DWORD i = 0; i < count; ++i) {
      const int64_t from = std::max(ranges[i].FileOffset, done);
      const int64_t to = std::min(ranges[i].FileOffset + ranges[i].Length, end);
      if (to <= from) continue;
      if (!Os().SetFilePointerEx(source_file, from, nullptr, FILE_BEGIN)) {
        ReportWin32Error(source, u"CopyOneFile:SetFilePointer(SOURCE)", Os().GetLastError());
        return false;
      }
      if (!Os().SetFilePointerEx(destination_file, from, nullptr, FILE_BEGIN)) {
        ReportWin32Error(destination, u"CopyOneFile:SetFilePointer(DESTINATION)",
                         Os().GetLastError());
        return false;
      }
      CountBytes(static_cast<uint64_t>(from - done));
      for (int64_t at = from; at < to;) {
        if (NoticeStop(destination, u"CopyOneFile:Interrupted(DESTINATION)")) return false;
        DWORD moved = 0;
        const auto want = static_cast<DWORD>(std::min<int64_t>(Settings.CopyBufferSize, to - at));
        if (!ThroughBuffer(source_file, destination_file, source, destination, want, &moved)) {
          return false;
        }
        if (moved == 0) return ReportSourceChanged(source);
        at += moved;
      }
      done = to;
    }
  }
  CountBytes(static_cast<uint64_t>(end - done));
  if (!Os().SetFilePointerEx(destination_file, end, nullptr, FILE_BEGIN) ||
      !Os().SetEndOfFile(destination_file)) {
    ReportWin32Error(destination, u"CopyOneFile:SetEndOfFile(DESTINATION)", Os().GetLastError());
    return false;
  }
  return true;
}

}  // namespace vx
