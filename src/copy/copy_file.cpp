#include "copy_file.h"

#include <cstring>

#include "../report/report.h"
#include "../run/run_state.h"
#include "../run/stop.h"
#include "access.h"
#include "identity.h"

namespace vx {

namespace {

// 1 January 1980, 00:00:00 UTC, as a FILETIME.
constexpr uint64_t kIncompleteMark = 119600064000000000ULL;

// A destination cut short by a failed read or write, an interruption or a
// crash would otherwise carry a last-write time of now, and an /OnlyNewer
// rerun would take it for newer than its source and never repair it. Dating
// it back (to 1980, or just before the source's own time where that is
// earlier) marks it incomplete and lets the next run copy it again. A source
// dated 0 leaves nothing earlier: the mark is then 0, no mark at all.
FILETIME IncompleteMark(const FILETIME& source_last_write) {
  const uint64_t source = FileTimeTicks(source_last_write);
  if (source > kIncompleteMark) return FileTimeFromTicks(kIncompleteMark);
  return FileTimeFromTicks(source == 0 ? 0 : source - 1);
}

// Best effort: nothing is reported.
void MarkIncomplete(HANDLE destination, const FILETIME& mark) {
  if (FileTimeTicks(mark) != 0) Os().SetFileTime(destination, nullptr, nullptr, &mark);
}

// One buffer serves every file: the run is single-threaded and a file's
// descriptor is applied before the next file starts. It is all zeros before
// every use; only the bytes the last use may have written are cleared again.
alignas(8) unsigned char g_security_buffer[kSecurityBufferBytes];
DWORD g_security_bytes_used = kSecurityBufferBytes;

enum class Decision { kCopy, kSkip, kFailed };

bool IsRunOutput(const FileIdentity& identity) {
  return SameObject(identity, State.LogIdentity) || SameObject(identity, State.ErrorLogIdentity);
}

// Probes the destination and raises the counter of the decision. A present
// destination is replaced only after its identity shows it is neither the
// source itself (cutting it would destroy the data about to be copied) nor
// one of the run's own log files.
Decision Decide(const Place& source, const Place& destination,
                const BY_HANDLE_FILE_INFORMATION& source_info, HANDLE* probe) {
  *probe = OpenDestination(destination, OPEN_EXISTING);
  if (*probe == INVALID_HANDLE_VALUE) {
    ++Counters.NewCount;
    return Decision::kCopy;
  }
  if (!Settings.OnlyNewer && !Settings.Overwrite) return Decision::kSkip;
  BY_HANDLE_FILE_INFORMATION destination_info;
  if (!Os().GetFileInformationByHandle(*probe, &destination_info)) {
    ReportWin32Error(source.path, u"CopyOnFile:GetFileInformationByHandle(DESTINATION)",
                     Os().GetLastError());
    return Decision::kFailed;
  }
  const FileIdentity destination_identity = IdentityOf(destination_info);
  if (SameObject(destination_identity, IdentityOf(source_info))) {
    ReportWin32Error(source.path, u"CopyOneFile:SameFile(DESTINATION)", ERROR_FILE_EXISTS);
    return Decision::kFailed;
  }
  if (IsRunOutput(destination_identity)) return Decision::kSkip;
  if (Settings.OnlyNewer) {
    if (Os().CompareFileTime(&source_info.ftLastWriteTime, &destination_info.ftLastWriteTime) !=
        1) {
      return Decision::kSkip;
    }
    ++Counters.NewerCount;
    return Decision::kCopy;
  }
  ++Counters.OverwrittenCount;
  return Decision::kCopy;
}

// Moves the data, inside the kernel where the platform can (holes stay
// holes), else through COPYBUFFER. Whatever the kernel copy cannot do, for
// any reason, the buffer does for the rest of the file, so a failure is
// still reported by the read or the write that meets it. Returns false
// after reporting, or after a request to stop.
bool CopyData(HANDLE source_file, HANDLE destination_file, const std::u16string& source,
              const std::u16string& destination) {
  bool in_kernel = Os().CopyFileRange != nullptr;
  for (;;) {
    if (NoticeStop(destination, u"CopyOneFile:Interrupted(DESTINATION)")) return false;
    if (in_kernel) {
      uint64_t moved = 0;
      if (Os().CopyFileRange(source_file, destination_file, Settings.CopyBufferSize, &moved)) {
        if (moved == 0) return true;
        Counters.ByteCount += moved;
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
    if (bytes_read == 0) return true;
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
  }
}

}  // namespace

int CopyOneFile(const Place& source, const Place& destination) {
  HANDLE source_file = OpenSource(source);
  if (source_file == INVALID_HANDLE_VALUE) {
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(SOURCE)", Os().GetLastError());
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION source_info;
  if (!Os().GetFileInformationByHandle(source_file, &source_info)) {
    ReportWin32Error(source.path, u"CopyOnFile:GetFileInformationByHandle(SOURCE)",
                     Os().GetLastError());
    Os().CloseHandle(source_file);
    return 0;
  }
  // The run's own log, still being written, is not copied.
  if (IsRunOutput(IdentityOf(source_info))) {
    Os().CloseHandle(source_file);
    return 1;
  }

  // In a directory this run has just created, a file is created at once;
  // elsewhere the probe decides first. Either way a new file is created
  // with CREATE_NEW, which no link or special file can meet, and a name
  // found taken goes the way the probe would have sent it.
  HANDLE destination_file = INVALID_HANDLE_VALUE;
  DWORD code = ERROR_FILE_EXISTS;
  if (destination.parent_is_new) {
    destination_file = OpenDestination(destination, CREATE_NEW);
    code = destination_file == INVALID_HANDLE_VALUE ? Os().GetLastError() : ERROR_SUCCESS;
    if (code != ERROR_FILE_EXISTS) ++Counters.NewCount;
  }
  if (code == ERROR_FILE_EXISTS) {
    HANDLE probe;
    const Decision decision = Decide(source, destination, source_info, &probe);
    const bool absent = probe == INVALID_HANDLE_VALUE;
    if (!absent) Os().CloseHandle(probe);
    if (decision != Decision::kCopy) {
      Os().CloseHandle(source_file);
      return decision == Decision::kSkip ? 1 : 0;
    }
    code = ERROR_FILE_EXISTS;
    if (absent) {
      destination_file = OpenDestination(destination, CREATE_NEW);
      code = destination_file == INVALID_HANDLE_VALUE ? Os().GetLastError() : ERROR_SUCCESS;
    }
    // Present, or there though the probe could not open it: replaced as
    // CREATE_ALWAYS replaces it, or refused with its own code.
    if (code == ERROR_FILE_EXISTS) {
      destination_file = OpenDestination(destination, CREATE_ALWAYS);
      code = destination_file == INVALID_HANDLE_VALUE ? Os().GetLastError() : ERROR_SUCCESS;
    }
  }
  if (destination_file == INVALID_HANDLE_VALUE) {
    if (code != ERROR_ALREADY_EXISTS) {
      ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", code);
    }
    Os().CloseHandle(source_file);
    return code == ERROR_ALREADY_EXISTS ? 1 : 0;
  }

  // Where the platform can keep writes from moving the last-write time, the
  // file carries the mark from the start, so even a killed process or a
  // power cut leaves it for an /OnlyNewer rerun to repair.
  const FILETIME mark = IncompleteMark(source_info.ftLastWriteTime);
  if (Os().FreezeLastWriteTime != nullptr && Os().FreezeLastWriteTime(destination_file)) {
    MarkIncomplete(destination_file, mark);
  }
  TrackOpenDestination(destination_file, mark);
  auto close = [&] {
    ForgetOpenDestination();
    Os().CloseHandle(destination_file);
    Os().CloseHandle(source_file);
  };
  auto fail = [&] {
    close();
    return 0;
  };
  if (!CopyData(source_file, destination_file, source.path, destination.path)) {
    MarkIncomplete(destination_file, mark);
    return fail();
  }
  if (!Os().SetFileTime(destination_file, &source_info.ftCreationTime,
                        &source_info.ftLastAccessTime, &source_info.ftLastWriteTime)) {
    ReportWin32Error(destination.path, u"CopyOneFile:SetFileTime(DESTINATION)",
                     Os().GetLastError());
    return fail();
  }
  if (Settings.SecurityDescriptor) {
    std::memset(g_security_buffer, 0, g_security_bytes_used);
    DWORD length_needed = 0;
    const BOOL got = Os().GetKernelObjectSecurity(source_file, kAllSecurityInformation,
                                                  g_security_buffer, kSecurityBufferBytes,
                                                  &length_needed);
    // A failed get may have written anything; a successful one its length.
    g_security_bytes_used = got && length_needed <= kSecurityBufferBytes ? length_needed
                                                                         : kSecurityBufferBytes;
    if (!got) {
      ReportWin32Error(source.path, u"CopyOneFile.GetKernelObjectSecurity(SOURCE-FILE)",
                       Os().GetLastError());
      return fail();
    }
    if (!Os().SetKernelObjectSecurity(destination_file, kAllSecurityInformation,
                                      g_security_buffer)) {
      ReportWin32Error(destination.path, u"CopyOneFile.SetKernelObjectSecurity(DESTINATION-FILE)",
                       Os().GetLastError());
      return fail();
    }
  }
  close();
  return 1;
}

}  // namespace vx
