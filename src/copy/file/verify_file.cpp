#include "verify_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "../../report/progress.h"
#include "../../report/report.h"
#include "../run_settings.h"
#include "../walk/stop.h"
#include "../access.h"
#include "copy_data.h"
#include "security_parts.h"

namespace vx {

namespace {

// Opens what the destination holds at the name, as itself (no link
// followed). INVALID_HANDLE_VALUE after a DIFF (nothing there, or not a file
// of the source's kind: *differs) or an ERR.
HANDLE OpenCopy(const Place& source, const Place& destination, DWORD access, DWORD flags,
                bool* differs) {
  *differs = false;
  HANDLE copy = destination.parent_is_new ? INVALID_HANDLE_VALUE
                                          : OpenDestination(destination, access, flags);
  if (copy != INVALID_HANDLE_VALUE) return copy;
  const DWORD code = destination.parent_is_new ? ERROR_FILE_NOT_FOUND : Os().GetLastError();
  if (IsNotFound(code)) {
    *differs = true;
    ReportDifference(source.path, u"missing at the destination");
  } else if (code == ERROR_CANT_RESOLVE_FILENAME) {
    *differs = true;
    ReportDifference(source.path, u"another kind at the destination");
  } else {
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", code);
  }
  return INVALID_HANDLE_VALUE;
}

// Reads exactly `want` bytes, fewer only at the end of the file.
bool ReadFully(HANDLE file, unsigned char* into, DWORD want, DWORD* got,
               const std::u16string& subject, const char16_t* context) {
  *got = 0;
  while (*got < want) {
    DWORD read = 0;
    if (!Os().ReadFile(file, into + *got, want - *got, &read, nullptr)) {
      ReportWin32Error(subject, context, Os().GetLastError());
      return false;
    }
    if (read == 0) break;
    *got += read;
  }
  return true;
}

// Whether the two open files hold the same `size` bytes; false with
// *failed set after an ERR. The thread's copy buffer is split in two.
bool SameBytes(HANDLE source_file, HANDLE copy, uint64_t size, const Place& source,
               const Place& destination, bool* failed) {
  *failed = false;
  auto* const buffer = static_cast<unsigned char*>(ThreadCopyBuffer());
  const DWORD half = std::max<DWORD>(Settings.CopyBufferSize / 2, 1);
  uint64_t compared = 0;
  for (;;) {
    if (NoticeStop(source.path, u"CopyOneFile:Interrupted(SOURCE)")) {
      *failed = true;
      return false;
    }
    DWORD from_source = 0;
    DWORD from_copy = 0;
    if (!ReadFully(source_file, buffer, half, &from_source, source.path,
                   u"CopyOneFile:ReadFile(SOURCE)") ||
        !ReadFully(copy, buffer + half, half, &from_copy, destination.path,
                   u"CopyOneFile:ReadFile(DESTINATION)")) {
      *failed = true;
      return false;
    }
    if (from_source != from_copy || std::memcmp(buffer, buffer + half, from_source) != 0) {
      return false;
    }
    if (from_source == 0) return true;
    CountBytes(from_source);
    compared += from_source;
    ShowProgress(source.path, std::min(compared, size), size);
  }
}

// Compares what the run's options carry besides data, one DIFF line for
// each kind of difference: owner, group or mode; the rest of the security
// (access lists, security and trusted attributes); the attributes; the
// write time.
// Returns false after an ERR.
bool SameMetadata(HANDLE source_object, const BY_HANDLE_FILE_INFORMATION& source_info,
                  HANDLE copy, const BY_HANDLE_FILE_INFORMATION& copy_info, const Place& source,
                  const Place& destination) {
  if (Settings.SecurityDescriptor) {
    BOOL same = 1;
    const bool owner_known =
        Os().SameOwnerAndMode != nullptr && Os().SameOwnerAndMode(source_object, copy, &same);
    if (owner_known && !same) ReportDifference(source.path, u"owner, group or mode differs");
    thread_local std::vector<unsigned char> ours(kSecurityBufferBytes);
    thread_local std::vector<unsigned char> theirs(kSecurityBufferBytes);
    DWORD our_bytes = 0;
    DWORD their_bytes = 0;
    if (!GetCarriedSecurity(source_object, ours.data(), kSecurityBufferBytes, &our_bytes,
                            source.path)) {
      ReportWin32Error(source.path, u"GetKernelObjectSecurity(SOURCE)", Os().GetLastError());
      return false;
    }
    if (!GetCarriedSecurity(copy, theirs.data(), kSecurityBufferBytes, &their_bytes,
                            destination.path)) {
      ReportWin32Error(destination.path, u"GetKernelObjectSecurity(DESTINATION)",
                       Os().GetLastError());
      return false;
    }
    // Where owner, group and mode are told apart, the rest says what else.
    if ((!owner_known || same) &&
        (our_bytes != their_bytes ||
         std::memcmp(ours.data(), theirs.data(), std::min(our_bytes, kSecurityBufferBytes)) != 0)) {
      ReportDifference(source.path, u"security differs");
    }
  }
  BOOL same_attributes = 1;
  if (Settings.Attributes && Os().SameAttributes != nullptr) {
    if (!Os().SameAttributes(source_object, copy, &same_attributes)) {
      ReportWin32Error(destination.path, u"GetFileAttributes(DESTINATION)", Os().GetLastError());
      return false;
    }
    if (!same_attributes) ReportDifference(source.path, u"attributes differ");
  }
  BOOL same_time =
      Os().CompareFileTime(&source_info.ftLastWriteTime, &copy_info.ftLastWriteTime) == 0;
  // Within one FILETIME tick, to every digit the file systems keep.
  if (same_time && Os().SameWriteTime != nullptr &&
      !Os().SameWriteTime(source_object, copy, &same_time)) {
    ReportWin32Error(destination.path, u"GetFileTime(DESTINATION)", Os().GetLastError());
    return false;
  }
  if (!same_time) ReportDifference(source.path, u"write time differs");
  return true;
}

}  // namespace

int VerifyOneFile(const Place& source, const Place& destination) {
  HANDLE source_file = OpenSource(source);
  BY_HANDLE_FILE_INFORMATION source_info;
  if (source_file == INVALID_HANDLE_VALUE ||
      !Os().GetFileInformationByHandle(source_file, &source_info) ||
      !MayFollow(source, source_file)) {
    const DWORD code = Os().GetLastError();
    if (source_file != INVALID_HANDLE_VALUE) Os().CloseHandle(source_file);
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(SOURCE)", code);
    return 0;
  }
  bool differs = false;
  HANDLE copy = OpenCopy(source, destination, GENERIC_READ | SystemSecurityAccess(), 0, &differs);
  if (copy == INVALID_HANDLE_VALUE) {
    Os().CloseHandle(source_file);
    return differs ? 1 : 0;
  }
  int result = 1;
  BY_HANDLE_FILE_INFORMATION copy_info;
  if (!Os().GetFileInformationByHandle(copy, &copy_info)) {
    ReportWin32Error(source.path, u"CopyOnFile:GetFileInformationByHandle(DESTINATION)",
                     Os().GetLastError());
    result = 0;
  } else if (copy_info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    ReportDifference(source.path, u"another kind at the destination");
  } else if (SizeOf(copy_info) != SizeOf(source_info)) {
    ReportDifference(source.path, u"size differs");
  } else {
    bool failed = false;
    if (!SameBytes(source_file, copy, SizeOf(source_info), source, destination, &failed)) {
      if (failed) {
        result = 0;
      } else {
        ReportDifference(source.path, u"bytes differ");
      }
    }
    if (!failed && !SameMetadata(source_file, source_info, copy, copy_info, source, destination)) {
      result = 0;
    }
  }
  Os().CloseHandle(copy);
  Os().CloseHandle(source_file);
  return result;
}

int VerifyOneNode(const Place& source, const Place& destination, HANDLE node,
                  const BY_HANDLE_FILE_INFORMATION& node_info, const void* target,
                  DWORD target_bytes, bool link) {
  bool differs = false;
  HANDLE copy = OpenCopy(source, destination,
                         FILE_READ_ATTRIBUTES | READ_CONTROL | SystemSecurityAccess(),
                         FILE_FLAG_OPEN_NODE, &differs);
  if (copy == INVALID_HANDLE_VALUE) return differs ? 1 : 0;
  thread_local std::vector<unsigned char> copy_target(kMaxLinkTargetBytes);
  DWORD copy_bytes = 0;
  BY_HANDLE_FILE_INFORMATION info;
  int result = 1;
  if (!Os().GetFileInformationByHandle(copy, &info)) {
    ReportWin32Error(source.path, u"CopyOnFile:GetFileInformationByHandle(DESTINATION)",
                     Os().GetLastError());
    result = 0;
  } else if (link != ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    ReportDifference(source.path, u"another kind at the destination");
  } else if (link &&
             !Os().ReadLinkTarget(copy, copy_target.data(), kMaxLinkTargetBytes, &copy_bytes)) {
    ReportWin32Error(source.path, u"CopyOneFile:ReadLink(DESTINATION)", Os().GetLastError());
    result = 0;
  } else if (!link && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0) {
    ReportDifference(source.path, u"another kind at the destination");
  } else {
    if (link && (copy_bytes != target_bytes ||
                 std::memcmp(copy_target.data(), target, target_bytes) != 0)) {
      ReportDifference(source.path, u"link target differs");
    }
    if (!SameMetadata(node, node_info, copy, info, source, destination)) result = 0;
  }
  Os().CloseHandle(copy);
  return result;
}

}  // namespace vx
