#include "copy_data.h"

#include "../report/report.h"
#include "../run/run_state.h"
#include "../run/stop.h"

namespace vx {

namespace {

bool ReportSourceChanged(const std::u16string& source) {
  ReportWin32Error(source, u"CopyOneFile:SourceChanged(SOURCE)", ERROR_FILE_INVALID);
  return false;
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
        Counters.ByteCount += moved;
        copied += moved;
        continue;
      }
      in_kernel = false;
    }
    DWORD bytes_read = 0;
    if (!Os().ReadFile(source_file, State.COPYBUFFER, Settings.CopyBufferSize, &bytes_read,
                       nullptr)) {
      ReportWin32Error(source, u"CopyOneFile:ReadFile(SOURCE)", Os().GetLastError());
      return false;
    }
    if (bytes_read == 0) return copied == size || ReportSourceChanged(source);
    DWORD bytes_written = 0;
    if (!Os().WriteFile(destination_file, State.COPYBUFFER, bytes_read, &bytes_written, nullptr)) {
      ReportWin32Error(destination, u"CopyOneFile:WriteFile(DESTINATION)", Os().GetLastError());
      return false;
    }
    if (bytes_written != bytes_read) {
      ReportShortWrite(destination, bytes_read, bytes_written);
      return false;
    }
    Counters.ByteCount += bytes_written;
    copied += bytes_written;
  }
}

}  // namespace vx
