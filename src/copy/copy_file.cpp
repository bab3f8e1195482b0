#include "copy_file.h"

#include <cstring>

#include "../report/report.h"
#include "../run/run_state.h"
#include "../run/stop.h"
#include "access.h"
#include "hard_links.h"
#include "identity.h"
#include "temporary_name.h"
#include "written.h"

namespace vx {

namespace {

// One buffer serves every file: the run is single-threaded and a file's
// descriptor is applied before the next file starts. It is all zeros before
// every use; only the bytes the last use may have written are cleared again.
alignas(8) unsigned char g_security_buffer[kSecurityBufferBytes];
DWORD g_security_bytes_used = kSecurityBufferBytes;

bool ReadSecurity(HANDLE object, DWORD information) {
  std::memset(g_security_buffer, 0, g_security_bytes_used);
  DWORD length_needed = 0;
  const BOOL got = Os().GetKernelObjectSecurity(object, information, g_security_buffer,
                                                kSecurityBufferBytes, &length_needed);
  // A failed get may have written anything; a successful one its length.
  g_security_bytes_used =
      got && length_needed <= kSecurityBufferBytes ? length_needed : kSecurityBufferBytes;
  return got != 0;
}

enum class Decision { kCopy, kSkip, kFailed };

// Whether `file` is one of the run's own logs. The 64-bit index is asked
// first; only where it matches is the full identifier looked up.
bool IsRunOutput(HANDLE file, FileIdentity* identity) {
  for (const FileIdentity* log : {&State.LogIdentity, &State.ErrorLogIdentity}) {
    if (!SameObject(*identity, *log)) continue;
    CompleteIdentity(file, identity);
    if (SameObject(*identity, *log)) return true;
  }
  return false;
}

bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// Looks at what the destination name holds and raises the counter of the
// decision. Only "not found" means nothing is there: a look that fails for
// any other reason (a sharing violation, a link, a special file) is an
// error, and nothing is written. A file is replaced only after its identity
// shows it is neither the source itself (the copy would read what it
// replaces) nor one of the run's own log files nor an object this run has
// already put in the directory under another name. `*probe` stays open on
// what was found, for the security a replacement keeps.
Decision Decide(const Place& source, const Place& destination, HANDLE source_file,
                const BY_HANDLE_FILE_INFORMATION& source_info, HANDLE* probe) {
  *probe = INVALID_HANDLE_VALUE;
  // A directory this run has just made holds only what the run put there:
  // a name found taken when the file is put in place is a collision.
  if (destination.parent_is_new) {
    ++Counters.NewCount;
    return Decision::kCopy;
  }
  *probe = OpenDestination(destination, ProbeAccess());
  if (*probe == INVALID_HANDLE_VALUE) {
    const DWORD code = Os().GetLastError();
    if (!IsNotFound(code)) {
      ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", code);
      return Decision::kFailed;
    }
    ++Counters.NewCount;
    return Decision::kCopy;
  }
  BY_HANDLE_FILE_INFORMATION destination_info;
  if (!Os().GetFileInformationByHandle(*probe, &destination_info)) {
    ReportWin32Error(source.path, u"CopyOnFile:GetFileInformationByHandle(DESTINATION)",
                     Os().GetLastError());
    return Decision::kFailed;
  }
  FileIdentity destination_identity = IdentityOf(destination_info);
  if (destination_info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", ERROR_ALREADY_EXISTS);
    return Decision::kFailed;
  }
  if (destination.written != nullptr && destination.written->Contains(destination_identity)) {
    CompleteIdentity(*probe, &destination_identity);
    if (destination.written->Contains(destination_identity)) {
      ReportWin32Error(source.path, u"CopyOneFile:NameCollision(DESTINATION)", ERROR_FILE_EXISTS);
      return Decision::kFailed;
    }
  }
  if (!Settings.OnlyNewer && !Settings.Overwrite) return Decision::kSkip;
  FileIdentity source_identity = IdentityOf(source_info);
  if (SameOpenObject(*probe, &destination_identity, source_file, &source_identity)) {
    ReportWin32Error(source.path, u"CopyOneFile:SameFile(DESTINATION)", ERROR_FILE_EXISTS);
    return Decision::kFailed;
  }
  if (IsRunOutput(*probe, &destination_identity)) return Decision::kSkip;
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

uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
}

bool ReportSourceChanged(const std::u16string& source) {
  ReportWin32Error(source, u"CopyOneFile:SourceChanged(SOURCE)", ERROR_FILE_INVALID);
  return false;
}

// Moves the data, inside the kernel where the platform can (holes stay
// holes), else through COPYBUFFER. Whatever the kernel copy cannot do, for
// any reason, the buffer does for the rest of the file, so a failure is
// still reported by the read or the write that meets it. A file that ends
// before `size` or goes on past it changed under the reader: no more than
// one buffer beyond `size` is read (a pseudo file reporting 0 or a nominal
// size never fills the disk). Once `size` bytes are in, no read looks for
// the end: the look after the copy (SourceUnchanged) sees a file that grew.
// Returns false after reporting, or after a request to stop.
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

// Whether the source, looked at again once its data is copied, is still
// what it was when the copy started: same object, size and last-write time.
// A change is one ERR and the copy is not put in place.
bool SourceUnchanged(HANDLE source_file, const BY_HANDLE_FILE_INFORMATION& before,
                     const std::u16string& source) {
  BY_HANDLE_FILE_INFORMATION after;
  if (!Os().GetFileInformationByHandle(source_file, &after)) {
    ReportWin32Error(source, u"CopyOnFile:GetFileInformationByHandle(SOURCE)",
                     Os().GetLastError());
    return false;
  }
  const bool same_object = after.dwVolumeSerialNumber == before.dwVolumeSerialNumber &&
                           after.nFileIndexHigh == before.nFileIndexHigh &&
                           after.nFileIndexLow == before.nFileIndexLow;
  if (!same_object || SizeOf(after) != SizeOf(before) ||
      Os().CompareFileTime(&after.ftLastWriteTime, &before.ftLastWriteTime) != 0) {
    return ReportSourceChanged(source);
  }
  return true;
}

// Reads the security of `from` (named `from_path` in a failure, with
// `read_context`) and applies it to `to`. Returns false after reporting.
bool TransferSecurity(HANDLE from, DWORD information, HANDLE to, const std::u16string& from_path,
                      const char16_t* read_context, const std::u16string& to_path) {
  if (!ReadSecurity(from, information)) {
    ReportWin32Error(from_path, read_context, Os().GetLastError());
    return false;
  }
  if (!Os().SetKernelObjectSecurity(to, information, g_security_buffer)) {
    ReportWin32Error(to_path, u"CopyOneFile.SetKernelObjectSecurity(DESTINATION-FILE)",
                     Os().GetLastError());
    return false;
  }
  return true;
}

// Gives the file written under its temporary name the security it is to
// have at its name: the source's with /SecurityDescriptor; else the replaced
// file's (what writing into it kept), or a new file's. Returns false after
// reporting.
bool SecureTemporaryFile(HANDLE source_file, HANDLE replaced, HANDLE file, const Place& source,
                         const Place& destination) {
  if (Settings.SecurityDescriptor) {
    return TransferSecurity(source_file, kAllSecurityInformation, file, source.path,
                            u"CopyOneFile.GetKernelObjectSecurity(SOURCE-FILE)", destination.path);
  }
  if (replaced != INVALID_HANDLE_VALUE) {
    return TransferSecurity(replaced, KeptSecurityInformation(), file, destination.path,
                            u"CopyOneFile.GetKernelObjectSecurity(DESTINATION-FILE)",
                            destination.path);
  }
  if (Os().ApplyInheritedSecurity != nullptr &&
      !Os().ApplyInheritedSecurity(file, destination.parent)) {
    ReportWin32Error(destination.path, u"CopyOneFile.SetKernelObjectSecurity(DESTINATION-FILE)",
                     Os().GetLastError());
    return false;
  }
  return true;
}

enum class Linked { kNo, kYes, kFailed };

// Makes the destination name one more name of the run's earlier copy of the
// same source file, where there is one and it is still what the run put
// there. kNo where there is none, or the destination cannot link to it
// (another volume, no hard links, too many): the file is then copied.
// kFailed after reporting a name taken meanwhile.
Linked LinkToEarlierCopy(const FileIdentity& source_identity, const Place& source,
                         const Place& destination) {
  const HardLinkedCopies::Copy* earlier = State.HardLinkCopies.Find(source_identity);
  if (earlier == nullptr) return Linked::kNo;
  HANDLE copy = Os().CreateFileW(earlier->path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                 OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (copy == INVALID_HANDLE_VALUE) return Linked::kNo;
  BY_HANDLE_FILE_INFORMATION info;
  FileIdentity identity;
  if (Os().GetFileInformationByHandle(copy, &info)) identity = IdentityOf(copy, info);
  // Its path may lead elsewhere by now: only the very copy is linked to.
  if (!SameObject(identity, earlier->identity)) {
    Os().CloseHandle(copy);
    return Linked::kNo;
  }
  const BOOL linked = Os().CreateHardLinkAtW(copy, destination.parent, destination.Name());
  const DWORD code = Os().GetLastError();
  Os().CloseHandle(copy);
  if (linked) {
    if (destination.written != nullptr && !destination.parent_is_new) {
      destination.written->Add(identity);
    }
    return Linked::kYes;
  }
  if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) return Linked::kNo;
  if (destination.parent_is_new) {
    ReportWin32Error(source.path, u"CopyOneFile:NameCollision(DESTINATION)", ERROR_FILE_EXISTS);
  } else {
    ReportWin32Error(destination.path, u"CopyOneFile:CreateHardLink(DESTINATION)", code);
  }
  return Linked::kFailed;
}

}  // namespace

// The copy is written under a temporary name in the destination directory,
// where no one else can open it, and put at its name only once its data,
// times and security are complete. Until then the old file stays as it was:
// a failure, a stop or a crash at any point leaves the old version (or
// nothing) at the name, never a cut or half-written file, and a hard-linked
// destination is replaced as a name, never written through.
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
  FileIdentity source_identity = IdentityOf(source_info);
  if (IsRunOutput(source_file, &source_identity)) {
    Os().CloseHandle(source_file);
    return 1;
  }

  HANDLE replaced;
  const Decision decision = Decide(source, destination, source_file, source_info, &replaced);
  auto release = [&](HANDLE file, int result) {
    if (file != INVALID_HANDLE_VALUE) Os().CloseHandle(file);
    if (replaced != INVALID_HANDLE_VALUE) Os().CloseHandle(replaced);
    Os().CloseHandle(source_file);
    return result;
  };
  if (decision != Decision::kCopy) {
    return release(INVALID_HANDLE_VALUE, decision == Decision::kSkip ? 1 : 0);
  }
  // With /HardLinks a file of several names whose copy the run has made
  // under another of them becomes one more name of that copy.
  const bool several_names = Settings.HardLinks && source_info.nNumberOfLinks > 1;
  if (several_names) {
    CompleteIdentity(source_file, &source_identity);
    if (replaced == INVALID_HANDLE_VALUE) {
      const Linked linked = LinkToEarlierCopy(source_identity, source, destination);
      if (linked != Linked::kNo) return release(INVALID_HANDLE_VALUE, linked == Linked::kYes);
    }
  }

  const std::u16string temporary = NextTemporaryName();
  HANDLE file = Os().CreateTemporaryFileAtW(destination.parent, temporary.c_str(),
                                            DestinationAccess() | DELETE);
  if (file == INVALID_HANDLE_VALUE) {
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", Os().GetLastError());
    return release(INVALID_HANDLE_VALUE, 0);
  }
  auto discard = [&] {
    Os().CloseHandle(file);
    Os().DeleteFileAtW(destination.parent, temporary.c_str());
    return release(INVALID_HANDLE_VALUE, 0);
  };
  if (!CopyData(source_file, file, source.path, destination.path, SizeOf(source_info)) ||
      !SourceUnchanged(source_file, source_info, source.path)) {
    return discard();
  }
  if (!Os().SetFileTime(file, &source_info.ftCreationTime, &source_info.ftLastAccessTime,
                        &source_info.ftLastWriteTime)) {
    ReportWin32Error(destination.path, u"CopyOneFile:SetFileTime(DESTINATION)",
                     Os().GetLastError());
    return discard();
  }
  if (!SecureTemporaryFile(source_file, replaced, file, source, destination)) return discard();
  // Attributes come last: a read-only copy takes no more writes.
  if (Settings.Attributes && Os().CopyAttributes != nullptr &&
      !Os().CopyAttributes(source_file, file)) {
    ReportWin32Error(destination.path, u"CopyOneFile:SetFileAttributes(DESTINATION)",
                     Os().GetLastError());
    return discard();
  }
  // Nothing may hold the old file open while its name is taken over.
  const bool replacing = replaced != INVALID_HANDLE_VALUE;
  if (replacing) Os().CloseHandle(replaced);
  replaced = INVALID_HANDLE_VALUE;
  if (!Os().MoveFileAtW(file, destination.parent, temporary.c_str(), destination.Name(),
                        replacing)) {
    const DWORD code = Os().GetLastError();
    if (!replacing && code == ERROR_ALREADY_EXISTS && destination.parent_is_new) {
      ReportWin32Error(source.path, u"CopyOneFile:NameCollision(DESTINATION)", ERROR_FILE_EXISTS);
    } else {
      ReportWin32Error(destination.path, u"CopyOneFile:MoveFile(DESTINATION)", code);
    }
    return discard();
  }
  const bool track_written = destination.written != nullptr && !destination.parent_is_new;
  BY_HANDLE_FILE_INFORMATION written_info;
  if ((track_written || several_names) && Os().GetFileInformationByHandle(file, &written_info)) {
    const FileIdentity written = IdentityOf(file, written_info);
    if (track_written) destination.written->Add(written);
    if (several_names) State.HardLinkCopies.Remember(source_identity, destination.path, written);
  }
  return release(file, 1);
}

}  // namespace vx
