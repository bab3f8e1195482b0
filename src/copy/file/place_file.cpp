// Placing a copy: its security, times and attributes, then its name.
#include "place_file.h"

#include <cstring>
#include <vector>

#include "../../report/report.h"
#include "../run_settings.h"
#include "../access.h"
#include "../replica/decide.h"
#include "../replica/history.h"
#include "../replica/written.h"
#include "security_parts.h"

namespace vx {

namespace {

// One buffer serves every file a thread copies: a file's descriptor is
// applied before the thread's next file starts. It is all zeros before
// every use; only the bytes the last use may have written are cleared again.
alignas(8) thread_local unsigned char g_security_buffer[kSecurityBufferBytes];
thread_local DWORD g_security_bytes_used = kSecurityBufferBytes;

bool ReadSecurity(HANDLE object, std::u16string_view subject) {
  std::memset(g_security_buffer, 0, g_security_bytes_used);
  DWORD length_needed = 0;
  const BOOL got = GetCarriedSecurity(object, g_security_buffer, kSecurityBufferBytes,
                                      &length_needed, subject);
  // A failed get may have written anything; a successful one its length.
  g_security_bytes_used =
      got && length_needed <= kSecurityBufferBytes ? length_needed : kSecurityBufferBytes;
  return got != 0;
}

// Reads the security of `from` (named `from_path` in a failure, with
// `read_context`) and applies it to `to`. Returns false after reporting.
bool TransferSecurity(HANDLE from, HANDLE to, const std::u16string& from_path,
                      const char16_t* read_context, const std::u16string& to_path) {
  if (!ReadSecurity(from, from_path)) {
    ReportWin32Error(from_path, read_context, Os().GetLastError());
    return false;
  }
  if (!SetCarriedSecurity(to, g_security_buffer, to_path)) {
    ReportWin32Error(to_path, u"CopyOneFile.SetKernelObjectSecurity(DESTINATION-FILE)",
                     Os().GetLastError());
    return false;
  }
  return true;
}

// Whether `copy` has, to the byte, the security just read (ReadSecurity):
// a refresh then writes nothing, so a compared copy keeps its change time.
bool AlreadyHasReadSecurity(HANDLE copy, std::u16string_view subject) {
  thread_local std::vector<unsigned char> theirs(kSecurityBufferBytes);
  DWORD length_needed = 0;
  const DWORD ours = g_security_bytes_used;
  if (!GetCarriedSecurity(copy, theirs.data(), kSecurityBufferBytes, &length_needed, subject) ||
      length_needed != ours || ours > kSecurityBufferBytes) {
    return false;
  }
  return std::memcmp(theirs.data(), g_security_buffer, ours) == 0;
}

}  // namespace

// Gives the file written under its temporary name the security it is to
// have at its name: the source's with /SecurityDescriptor; else the replaced
// file's (what writing into it kept), or a new file's. Returns false after
// reporting.
bool SecureTemporaryFile(HANDLE source_file, HANDLE replaced, HANDLE file, const Place& source,
                         const Place& destination) {
  if (Settings.SecurityDescriptor) {
    return TransferSecurity(source_file, file, source.path,
                            u"CopyOneFile.GetKernelObjectSecurity(SOURCE-FILE)", destination.path);
  }
  if (replaced != INVALID_HANDLE_VALUE) {
    if (!TransferSecurity(replaced, file, destination.path,
                          u"CopyOneFile.GetKernelObjectSecurity(DESTINATION-FILE)",
                          destination.path)) {
      return false;
    }
    // New data under the old security: the set-id bits go, as the kernel
    // takes them off a file someone else writes, lest they lend their
    // owner's rights to data that owner never wrote.
    if (Os().ClearSetIdBits != nullptr && !Os().ClearSetIdBits(file)) {
      ReportWin32Error(destination.path, u"CopyOneFile.SetKernelObjectSecurity(DESTINATION-FILE)",
                       Os().GetLastError());
      return false;
    }
    return true;
  }
  if (Os().ApplyInheritedSecurity != nullptr &&
      !Os().ApplyInheritedSecurity(file, destination.parent, source_file)) {
    ReportWin32Error(destination.path, u"CopyOneFile.SetKernelObjectSecurity(DESTINATION-FILE)",
                     Os().GetLastError());
    return false;
  }
  return true;
}

// Gives the copy at `destination`, whose data is up to date, the source's
// security (with /SecurityDescriptor) and attributes (with /Attributes) in
// place, its data and times untouched. Returns false after reporting.
bool RefreshMetadata(HANDLE source_object, const Place& source, const Place& destination) {
  HANDLE copy = OpenDestination(
      destination, WRITE_DAC | WRITE_OWNER | READ_CONTROL | FILE_WRITE_ATTRIBUTES |
                       SystemSecurityAccess(),
      State.KeepLinks ? FILE_FLAG_OPEN_NODE : 0);
  if (copy == INVALID_HANDLE_VALUE) {
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", Os().GetLastError());
    return false;
  }
  bool done = true;
  if (Settings.SecurityDescriptor) {
    if (!ReadSecurity(source_object, source.path)) {
      ReportWin32Error(source.path, u"CopyOneFile.GetKernelObjectSecurity(SOURCE-FILE)",
                       Os().GetLastError());
      done = false;
    } else if (!AlreadyHasReadSecurity(copy, destination.path) &&
               !SetCarriedSecurity(copy, g_security_buffer, destination.path)) {
      ReportWin32Error(destination.path, u"CopyOneFile.SetKernelObjectSecurity(DESTINATION-FILE)",
                       Os().GetLastError());
      done = false;
    }
  }
  if (done && Settings.Attributes && Os().CopyAttributes != nullptr &&
      !Os().CopyAttributes(source_object, copy)) {
    ReportWin32Error(destination.path, u"CopyOneFile:SetFileAttributes(DESTINATION)",
                     Os().GetLastError());
    done = false;
  }
  Os().CloseHandle(copy);
  return done;
}

// Gives the object `made`, written as `temporary` in the destination
// directory, its times, security and attributes (read-only last: it takes
// no more writes), then puts it at its name (an empty `temporary`: made
// there already). `*replaced`, the object at the
// name or none, is closed first: nothing may hold it open while its name is
// taken over. Returns false after reporting; the caller removes `made`.
bool PutInPlace(HANDLE source_object, const BY_HANDLE_FILE_INFORMATION& source_info,
                HANDLE* replaced, HANDLE made, const std::u16string& temporary, const Place& source,
                const Place& destination, NewObject kind, bool name_later) {
  if (!CopyTimes(source_object, source_info, made)) {
    ReportWin32Error(destination.path, u"CopyOneFile:SetFileTime(DESTINATION)",
                     Os().GetLastError());
    return false;
  }
  const HANDLE keep_from = kind == NewObject::kFile ? *replaced : INVALID_HANDLE_VALUE;
  if ((kind != NewObject::kLink || Settings.SecurityDescriptor) &&
      !SecureTemporaryFile(source_object, keep_from, made, source, destination)) {
    return false;
  }
  if (Settings.Attributes && Os().CopyAttributes != nullptr &&
      !Os().CopyAttributes(source_object, made)) {
    ReportWin32Error(destination.path, u"CopyOneFile:SetFileAttributes(DESTINATION)",
                     Os().GetLastError());
    return false;
  }
  // With /Flush (or where volumes cannot be flushed whole) no name is given
  // to a file whose data or times a crash could still take; nor is an
  // existing name, unless a batch flush comes first (name_later).
  const bool replacing = *replaced != INVALID_HANDLE_VALUE;
  const bool renamed_over = replacing && !temporary.empty() && !name_later;
  if (kind == NewObject::kFile && (Settings.Flush || State.FlushEachFile || renamed_over) &&
      !Os().FlushFileBuffers(made)) {
    ReportWin32Error(destination.path, u"CopyOneFile:FlushFileBuffers(DESTINATION)",
                     Os().GetLastError());
    return false;
  }
  if (temporary.empty()) return true;
  // With /History: the version at the name is kept first (linked, or moved
  // away just before the new one takes its name).
  bool moved_away = false;
  if (replacing && !name_later && KeepsHistory() &&
      !KeepReplaced(*replaced, destination, &moved_away)) {
    return false;
  }
  if (replacing) Os().CloseHandle(*replaced);
  *replaced = INVALID_HANDLE_VALUE;
  if (name_later) return true;
  if (!Os().MoveFileAtW(made, destination.parent, temporary.c_str(), destination.Name(),
                        replacing)) {
    const DWORD code = Os().GetLastError();
    if (!replacing && code == ERROR_ALREADY_EXISTS && destination.parent_is_new) {
      ReportWin32Error(source.path, u"CopyOneFile:NameCollision(DESTINATION)", ERROR_FILE_EXISTS);
    } else {
      ReportWin32Error(destination.path, u"CopyOneFile:MoveFile(DESTINATION)", code);
    }
    return false;
  }
  if (!replacing && KeepsHistory()) NoteNewEntry(destination.path, made);
  return true;
}

// Notes the object just put at `destination` among what the run wrote in
// its directory, where a later name could collide with it. Its identity is
// looked up only where that, or the caller (`wanted`), needs it; unknown
// otherwise.
FileIdentity NoteWritten(HANDLE made, const Place& destination, bool wanted) {
  const bool track = destination.written != nullptr && !destination.parent_is_new;
  BY_HANDLE_FILE_INFORMATION info;
  if (!(track || wanted) || !Os().GetFileInformationByHandle(made, &info)) return FileIdentity{};
  const FileIdentity identity = IdentityOf(made, info);
  if (track) destination.written->Add(identity);
  NoteMatched(destination, identity);
  return identity;
}

}  // namespace vx
