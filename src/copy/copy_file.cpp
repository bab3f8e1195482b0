#include "copy_file.h"

#include <cstring>
#include <optional>
#include <vector>

#include "../report/report.h"
#include "../run/run_state.h"
#include "../run/stop.h"
#include "access.h"
#include "copy_data.h"
#include "copy_streams.h"
#include "durability.h"
#include "hard_links.h"
#include "identity.h"
#include "registries.h"
#include "remove.h"
#include "security_parts.h"
#include "temporary_name.h"
#include "verify_file.h"
#include "written.h"

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

// kRefresh: the data is up to date, but what the run carries besides it
// (security, attributes) changed at the source since the copy was made.
enum class Decision { kCopy, kSkip, kRefresh, kFailed };

uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
}

// With /Mirror, the object found at a source entry's name and kept there is
// noted, so that no name comparison can make /Mirror remove it.
void NoteMatched(const Place& destination, const FileIdentity& identity) {
  if (Settings.Mirror && destination.written != nullptr && !destination.parent_is_new) {
    destination.written->Match(identity);
  }
}

// Whether the source's security or attributes changed after its copy was
// last written: the copy's change time is the moment the run wrote it, so
// a source changed later has a later one, or, within the clock's coarse
// tick, the same one (the copy is then refreshed, and its change time moves
// past). Only asked where the run carries either; a system without change
// times never says so.
bool MetadataChangedSince(HANDLE source_file, HANDLE copy) {
  if (!(Settings.SecurityDescriptor || Settings.Attributes) || Os().GetChangeTime == nullptr) {
    return false;
  }
  FILETIME source_change;
  FILETIME copy_change;
  return Os().GetChangeTime(source_file, &source_change) &&
         Os().GetChangeTime(copy, &copy_change) &&
         Os().CompareFileTime(&source_change, &copy_change) >= 0;
}

// With /Mirror, what the destination holds at a file's name in another
// kind (a directory, a link where links are followed) is removed and the
// file copied as new.
Decision ReplaceKind(const Place& destination) {
  if (!RemoveEntry(destination.parent, destination.Name(), destination.path)) {
    return Decision::kFailed;
  }
  CountDecision(&RunCounters::NewCount);
  return Decision::kCopy;
}

// Looks at what the destination name holds and raises the counter of the
// decision. Only "not found" means nothing is there: a look that fails for
// any other reason (a sharing violation, a link, a special file) is an
// error, and nothing is written. A file is replaced only after its identity
// shows it is neither the source itself (the copy would read what it
// replaces) nor one of the run's own log files nor an object this run has
// already put in the directory under another name. `*probe` stays open on
// what was found, for the security a replacement keeps; `*found` is its
// identity.
Decision Decide(const Place& source, const Place& destination, HANDLE source_file,
                const BY_HANDLE_FILE_INFORMATION& source_info, HANDLE* probe,
                FileIdentity* found) {
  *probe = INVALID_HANDLE_VALUE;
  *found = FileIdentity{};
  // A directory this run has just made holds only what the run put there:
  // a name found taken when the file is put in place is a collision.
  if (destination.parent_is_new) {
    CountDecision(&RunCounters::NewCount);
    return Decision::kCopy;
  }
  // Where links are kept, a link or special file at the name is looked at
  // as itself and replaced as a name like a file.
  *probe = OpenDestination(destination, ProbeAccess(), State.KeepLinks ? FILE_FLAG_OPEN_NODE : 0);
  if (*probe == INVALID_HANDLE_VALUE) {
    const DWORD code = Os().GetLastError();
    if (code == ERROR_CANT_RESOLVE_FILENAME && Settings.Mirror) return ReplaceKind(destination);
    if (!IsNotFound(code)) {
      ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", code);
      return Decision::kFailed;
    }
    CountDecision(&RunCounters::NewCount);
    return Decision::kCopy;
  }
  BY_HANDLE_FILE_INFORMATION destination_info;
  if (!Os().GetFileInformationByHandle(*probe, &destination_info)) {
    ReportWin32Error(source.path, u"CopyOnFile:GetFileInformationByHandle(DESTINATION)",
                     Os().GetLastError());
    return Decision::kFailed;
  }
  FileIdentity destination_identity = IdentityOf(destination_info);
  *found = destination_identity;
  // A directory link, looked at as itself where links are kept, is no
  // directory the file would go into.
  const DWORD directory_link = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  if ((destination_info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(State.KeepLinks &&
        (destination_info.dwFileAttributes & directory_link) == directory_link)) {
    if (Settings.Mirror) {
      Os().CloseHandle(*probe);
      *probe = INVALID_HANDLE_VALUE;
      return ReplaceKind(destination);
    }
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
  if (!Settings.OnlyNewer && !Settings.Overwrite) {
    NoteMatched(destination, destination_identity);
    return Decision::kSkip;
  }
  FileIdentity source_identity = IdentityOf(source_info);
  if (SameOpenObject(*probe, &destination_identity, source_file, &source_identity)) {
    ReportWin32Error(source.path, u"CopyOneFile:SameFile(DESTINATION)", ERROR_FILE_EXISTS);
    return Decision::kFailed;
  }
  if (IsRunOutput(*probe, &destination_identity)) return Decision::kSkip;
  if (Settings.OnlyNewer) {
    // A mirror is the source's copy, not the newest version seen: an older
    // version restored at the source, or another size, is copied too.
    // A copy gets its source's time only once all its data is in, so the
    // same time with another size is damage (a crash), copied again; and
    // so is whatever changed while an earlier run that never ended wrote.
    const LONG order =
        Os().CompareFileTime(&source_info.ftLastWriteTime, &destination_info.ftLastWriteTime);
    const bool other_size = SizeOf(source_info) != SizeOf(destination_info);
    const bool copy = (Settings.Mirror ? order != 0 || other_size
                                       : order == 1 || (order == 0 && other_size)) ||
                      ChangedInUnfinishedRun(*probe);
    if (!copy) {
      NoteMatched(destination, destination_identity);
      return MetadataChangedSince(source_file, *probe) ? Decision::kRefresh : Decision::kSkip;
    }
    CountDecision(&RunCounters::NewerCount);
    return Decision::kCopy;
  }
  CountDecision(&RunCounters::OverwrittenCount);
  return Decision::kCopy;
}

// Whether the source, looked at again once its data is copied, is still
// what it was when the copy started: same object, size and last-write time.
// A change is one ERR and the copy is not put in place.
bool SourceUnchanged(HANDLE source_file, const BY_HANDLE_FILE_INFORMATION& before,
                     const std::u16string& source) {
  BY_HANDLE_FILE_INFORMATION after;
  if (!Os().GetFileInformationByHandle(source_file, &after)) {
    ReportWin32Error(source, u"CopyOnFile:GetFileInformationByHandle(SOURCE)", Os().GetLastError());
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
  bool done = !Settings.SecurityDescriptor ||
              TransferSecurity(source_object, copy, source.path,
                               u"CopyOneFile.GetKernelObjectSecurity(SOURCE-FILE)",
                               destination.path);
  if (done && Settings.Attributes && Os().CopyAttributes != nullptr &&
      !Os().CopyAttributes(source_object, copy)) {
    ReportWin32Error(destination.path, u"CopyOneFile:SetFileAttributes(DESTINATION)",
                     Os().GetLastError());
    done = false;
  }
  Os().CloseHandle(copy);
  return done;
}

// What the run writes under a temporary name, each kind with the security
// it gets where /SecurityDescriptor does not give the source's.
enum class NewObject {
  kFile,     // the replaced file's, or a new file's
  kLink,     // none but its own: a link's security is its creator's
  kSpecial,  // a new file's
};

// Gives the object `made`, written as `temporary` in the destination
// directory, its times, security and attributes (read-only last: it takes
// no more writes), then puts it at its name. `*replaced`, the object at the
// name or none, is closed first: nothing may hold it open while its name is
// taken over. Returns false after reporting; the caller removes `made`.
bool PutInPlace(HANDLE source_object, const BY_HANDLE_FILE_INFORMATION& source_info,
                HANDLE* replaced, HANDLE made, const std::u16string& temporary, const Place& source,
                const Place& destination, NewObject kind) {
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
  // to a file whose data or times a crash could still take.
  if (kind == NewObject::kFile && (Settings.Flush || State.FlushEachFile) &&
      !Os().FlushFileBuffers(made)) {
    ReportWin32Error(destination.path, u"CopyOneFile:FlushFileBuffers(DESTINATION)",
                     Os().GetLastError());
    return false;
  }
  const bool replacing = *replaced != INVALID_HANDLE_VALUE;
  if (replacing) Os().CloseHandle(*replaced);
  *replaced = INVALID_HANDLE_VALUE;
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
  return true;
}

// Notes the object just put at `destination` among what the run wrote in
// its directory, where a later name could collide with it. Its identity is
// looked up only where that, or the caller (`wanted`), needs it; unknown
// otherwise.
FileIdentity NoteWritten(HANDLE made, const Place& destination, bool wanted = false) {
  const bool track = destination.written != nullptr && !destination.parent_is_new;
  BY_HANDLE_FILE_INFORMATION info;
  if (!(track || wanted) || !Os().GetFileInformationByHandle(made, &info)) return FileIdentity{};
  const FileIdentity identity = IdentityOf(made, info);
  if (track) destination.written->Add(identity);
  NoteMatched(destination, identity);
  return identity;
}

enum class Linked { kNo, kYes, kFailed };

// A claim on a multi-name source file while its copy is made: settled with
// the copy, or given up however the copy ends otherwise.
struct HardLinkClaim {
  const FileIdentity* source = nullptr;
  HardLinkClaim() = default;
  HardLinkClaim(const HardLinkClaim&) = delete;
  HardLinkClaim& operator=(const HardLinkClaim&) = delete;
  ~HardLinkClaim() {
    if (source != nullptr) Registries.HardLinkCopies.GiveUp(*source);
  }
  // Remembers `copy`, at `path`, as the copy of `source_file`.
  void Settle(const FileIdentity& source_file, const std::u16string& path,
              const FileIdentity& copy) {
    Registries.HardLinkCopies.Remember(source_file, path, copy);
    source = nullptr;
  }
};

// Makes the destination name one more name of the run's earlier copy of the
// same source file, `earlier`, where it is still what the run put there. A
// file at the name (`*replaced`) is replaced as a name: the link is made
// under a temporary name and put in its place in one step. kNo where the
// destination cannot link to it (it is gone, another volume, no hard
// links, too many): the file is then copied. kFailed after reporting.
Linked LinkToEarlierCopy(const HardLinkedCopies::Copy* earlier, const Place& source,
                         const Place& destination, HANDLE* replaced) {
  HANDLE copy = Os().CreateFileW(
      earlier->path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OPEN_NODE, nullptr);
  if (copy == INVALID_HANDLE_VALUE) return Linked::kNo;
  BY_HANDLE_FILE_INFORMATION info;
  FileIdentity identity;
  if (Os().GetFileInformationByHandle(copy, &info)) identity = IdentityOf(copy, info);
  // Its path may lead elsewhere by now: only the very copy is linked to.
  if (!SameObject(identity, earlier->identity)) {
    Os().CloseHandle(copy);
    return Linked::kNo;
  }
  const bool replacing = *replaced != INVALID_HANDLE_VALUE;
  std::u16string temporary;
  const bool linked =
      replacing ? TryUnderTemporaryName(&temporary,
                                        [&](const char16_t* name) {
                                          return Os().CreateHardLinkAtW(copy, destination.parent,
                                                                        name) != 0;
                                        })
                : Os().CreateHardLinkAtW(copy, destination.parent, destination.Name()) != 0;
  const char16_t* name = replacing ? temporary.c_str() : destination.Name();
  const DWORD code = Os().GetLastError();
  Os().CloseHandle(copy);
  if (!linked) {
    if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) return Linked::kNo;
    if (destination.parent_is_new) {
      ReportWin32Error(source.path, u"CopyOneFile:NameCollision(DESTINATION)", ERROR_FILE_EXISTS);
    } else {
      ReportWin32Error(destination.path, u"CopyOneFile:CreateHardLink(DESTINATION)", code);
    }
    return Linked::kFailed;
  }
  if (replacing) {
    HANDLE link = Os().CreateFileAtW(
        destination.parent, name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OPEN_NODE);
    Os().CloseHandle(*replaced);
    *replaced = INVALID_HANDLE_VALUE;
    const BOOL moved = link != INVALID_HANDLE_VALUE &&
                       Os().MoveFileAtW(link, destination.parent, name, destination.Name(), 1);
    const DWORD move_code = Os().GetLastError();
    if (link != INVALID_HANDLE_VALUE) Os().CloseHandle(link);
    if (!moved) {
      Os().DeleteFileAtW(destination.parent, name);
      ReportWin32Error(destination.path, u"CopyOneFile:MoveFile(DESTINATION)", move_code);
      return Linked::kFailed;
    }
  }
  if (destination.written != nullptr && !destination.parent_is_new) {
    destination.written->Add(identity);
  }
  NoteMatched(destination, identity);
  return Linked::kYes;
}

// With /HardLinks, a name of a multi-name source about to be copied becomes
// one more name of the run's earlier copy where there is one (kYes, or
// kFailed after reporting; under /List nothing is linked and no bytes
// count). Where there is none, or it cannot be linked to (kNo), the caller
// copies it; without an earlier copy this name claims the file through
// `claim` until its copy is made, so that a worker meeting another name
// meanwhile waits for it.
Linked LinkOrClaim(HANDLE source_object, FileIdentity* source_identity, HardLinkClaim* claim,
                   const Place& source, const Place& destination, HANDLE* replaced) {
  CompleteIdentity(source_object, source_identity);
  const std::optional<HardLinkedCopies::Copy> earlier =
      Registries.HardLinkCopies.FindOrClaim(*source_identity);
  if (!earlier) {
    claim->source = source_identity;
    return Linked::kNo;
  }
  if (WritesNothing()) return Linked::kYes;
  return LinkToEarlierCopy(&*earlier, source, destination, replaced);
}

// With /HardLinks, a rerun keeps each source group one object at the
// destination, whether its data changed or not: the first name met whose
// object is kept (`kept`, open as `*replaced`) becomes the group's copy; a
// later name that holds another object (a group split by a run cut short,
// or a name new to an unchanged file) is made one more name of that copy,
// under a temporary name renamed over it. kNo where nothing was to be done.
Linked JoinGroup(HANDLE source_object, FileIdentity* source_identity, const FileIdentity& kept,
                 const Place& source, const Place& destination, HANDLE* replaced) {
  CompleteIdentity(source_object, source_identity);
  const std::optional<HardLinkedCopies::Copy> earlier =
      Registries.HardLinkCopies.FindOrClaim(*source_identity);
  if (!earlier) {
    Registries.HardLinkCopies.Remember(*source_identity, destination.path, kept);
    return Linked::kNo;
  }
  if (!kept.known || SameObject(earlier->identity, kept)) return Linked::kNo;
  CountDecision(&RunCounters::NewerCount);
  return LinkToEarlierCopy(&*earlier, source, destination, replaced);
}

}  // namespace

bool IsRunOutput(HANDLE file, FileIdentity* identity) {
  for (const FileIdentity* log :
       {&Registries.LogIdentity, &Registries.ErrorLogIdentity, &Registries.JsonLogIdentity}) {
    if (!SameObject(*identity, *log)) continue;
    CompleteIdentity(file, identity);
    if (SameObject(*identity, *log)) return true;
  }
  return false;
}

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
  // A link a user planted to what only the run may read is not followed.
  if (!MayFollow(source, source_file)) {
    ReportWin32Error(source.path, u"CopyOneFile:FollowLink(SOURCE)", Os().GetLastError());
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
  FileIdentity found;
  const Decision decision =
      Decide(source, destination, source_file, source_info, &replaced, &found);
  auto release = [&](HANDLE file, int result) {
    if (file != INVALID_HANDLE_VALUE) Os().CloseHandle(file);
    if (replaced != INVALID_HANDLE_VALUE) Os().CloseHandle(replaced);
    Os().CloseHandle(source_file);
    return result;
  };
  const bool several_names = Settings.HardLinks && source_info.nNumberOfLinks > 1;
  if (several_names && !WritesNothing() &&
      (decision == Decision::kSkip || decision == Decision::kRefresh)) {
    const Linked linked =
        JoinGroup(source_file, &source_identity, found, source, destination, &replaced);
    if (linked != Linked::kNo) return release(INVALID_HANDLE_VALUE, linked == Linked::kYes);
  }
  if (decision == Decision::kRefresh) {
    return release(INVALID_HANDLE_VALUE,
                   WritesNothing() || RefreshMetadata(source_file, source, destination));
  }
  if (decision != Decision::kCopy) {
    return release(INVALID_HANDLE_VALUE, decision == Decision::kSkip ? 1 : 0);
  }
  HardLinkClaim claim;
  if (several_names) {
    const Linked linked =
        LinkOrClaim(source_file, &source_identity, &claim, source, destination, &replaced);
    if (linked != Linked::kNo) return release(INVALID_HANDLE_VALUE, linked == Linked::kYes);
  }
  // /List counts what would be copied and writes nothing.
  if (WritesNothing()) {
    if (claim.source != nullptr) claim.Settle(source_identity, destination.path, source_identity);
    CountBytes(SizeOf(source_info));
    return release(INVALID_HANDLE_VALUE, 1);
  }

  // An encrypted file is copied raw, its ciphertext and streams as they
  // are: never read as plaintext, which needs the owner's key and would put
  // the data on the destination in the clear.
  const bool encrypted = (source_info.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0;
  std::u16string temporary;
  HANDLE file = MakeUnderTemporaryName(&temporary, [&](const char16_t* name) {
    if (!encrypted) {
      return Os().CreateTemporaryFileAtW(destination.parent, name, DestinationAccess() | DELETE);
    }
    if (Os().CreateEncryptedCopyAtW == nullptr) {
      Os().SetLastError(ERROR_NOT_SUPPORTED);
      return INVALID_HANDLE_VALUE;
    }
    return Os().CreateEncryptedCopyAtW(source_file, destination.parent, name,
                                       DestinationAccess() | DELETE);
  });
  if (file == INVALID_HANDLE_VALUE) {
    ReportWin32Error(source.path,
                     encrypted ? u"CopyOneFile:CopyEncryptedRaw(DESTINATION)"
                               : u"CopyOneFile:CreateFile(DESTINATION)",
                     Os().GetLastError());
    return release(INVALID_HANDLE_VALUE, 0);
  }
  auto discard = [&] {
    Os().CloseHandle(file);
    Os().DeleteFileAtW(destination.parent, temporary.c_str());
    return release(INVALID_HANDLE_VALUE, 0);
  };
  bool data_copied = true;
  if (encrypted) {
    CountBytes(SizeOf(source_info));
  } else if (CopiesSparse(source_info.dwFileAttributes)) {
    data_copied =
        CopySparseData(source_file, file, source.path, destination.path, SizeOf(source_info));
  } else {
    data_copied = CopyData(source_file, file, source.path, destination.path, SizeOf(source_info));
  }
  if (!data_copied ||
      (Settings.Streams && !encrypted &&
       !CopyStreams(source_file, file, source.path, destination.path, u"CopyOneFile:")) ||
      !SourceUnchanged(source_file, source_info, source.path)) {
    return discard();
  }
  if (!PutInPlace(source_file, source_info, &replaced, file, temporary, source, destination,
                  NewObject::kFile)) {
    return discard();
  }
  const FileIdentity written = NoteWritten(file, destination, several_names);
  if (several_names) claim.Settle(source_identity, destination.path, written);
  return release(file, 1);
}

// A link is copied as a link, its target's bytes unchanged, and a special
// file as a node of its kind, never opened; each is written under a
// temporary name and put in place like a file.
int CopyOneNode(const Place& source, const Place& destination) {
  HANDLE node = Os().CreateFileAtW(source.parent, source.Name(), SourceAccess(), kShareAll,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NODE);
  BY_HANDLE_FILE_INFORMATION info;
  if (node == INVALID_HANDLE_VALUE || !Os().GetFileInformationByHandle(node, &info)) {
    const DWORD code = Os().GetLastError();
    if (node != INVALID_HANDLE_VALUE) Os().CloseHandle(node);
    AnnounceFile(source.path, 0);
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(SOURCE)", code);
    return 0;
  }
  thread_local std::vector<unsigned char> target(kMaxLinkTargetBytes);
  DWORD target_bytes = 0;
  const bool link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (link && !Os().ReadLinkTarget(node, target.data(), kMaxLinkTargetBytes, &target_bytes)) {
    const DWORD code = Os().GetLastError();
    Os().CloseHandle(node);
    if (code == ERROR_NOT_A_REPARSE_POINT) return kNotANode;
    AnnounceFile(source.path, 0);
    ReportWin32Error(source.path, u"CopyOneFile:ReadLink(SOURCE)", code);
    return 0;
  }
  const bool special = !link && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0 &&
                       Settings.Specials && Os().CreateSpecialAtW != nullptr;
  // Swapped meanwhile for a file or directory: the walk copies it as one.
  if (!link && !special) {
    Os().CloseHandle(node);
    return kNotANode;
  }
  AnnounceFile(source.path, 0);
  if (Settings.Verify) {
    const int result = VerifyOneNode(source, destination, target.data(), target_bytes, link);
    Os().CloseHandle(node);
    return result;
  }
  HANDLE replaced;
  FileIdentity found;
  const Decision decision = Decide(source, destination, node, info, &replaced, &found);
  auto release = [&](HANDLE made, int result) {
    if (made != INVALID_HANDLE_VALUE) Os().CloseHandle(made);
    if (replaced != INVALID_HANDLE_VALUE) Os().CloseHandle(replaced);
    Os().CloseHandle(node);
    return result;
  };
  // Links and special files with several names (a `cp -al` snapshot's)
  // stay one object, as files do.
  const bool several_names = Settings.HardLinks && info.nNumberOfLinks > 1 && !WritesNothing();
  FileIdentity source_identity = IdentityOf(info);
  HardLinkClaim claim;
  if (several_names && (decision == Decision::kSkip || decision == Decision::kRefresh)) {
    const Linked linked = JoinGroup(node, &source_identity, found, source, destination, &replaced);
    if (linked != Linked::kNo) return release(INVALID_HANDLE_VALUE, linked == Linked::kYes);
  }
  if (several_names && decision == Decision::kCopy) {
    const Linked linked =
        LinkOrClaim(node, &source_identity, &claim, source, destination, &replaced);
    if (linked != Linked::kNo) return release(INVALID_HANDLE_VALUE, linked == Linked::kYes);
  }
  if (decision == Decision::kRefresh && !WritesNothing()) {
    return release(INVALID_HANDLE_VALUE, RefreshMetadata(node, source, destination));
  }
  if (decision != Decision::kCopy || WritesNothing()) {
    return release(INVALID_HANDLE_VALUE, decision == Decision::kFailed ? 0 : 1);
  }
  std::u16string temporary;
  const DWORD access = DestinationAccess() | DELETE;
  HANDLE made = MakeUnderTemporaryName(&temporary, [&](const char16_t* name) {
    return link ? Os().CreateLinkAtW(destination.parent, name, target.data(), target_bytes,
                                     info.dwFileAttributes, access)
                : Os().CreateSpecialAtW(destination.parent, name, node, access);
  });
  if (made == INVALID_HANDLE_VALUE) {
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", Os().GetLastError());
    return release(INVALID_HANDLE_VALUE, 0);
  }
  if (!PutInPlace(node, info, &replaced, made, temporary, source, destination,
                  link ? NewObject::kLink : NewObject::kSpecial)) {
    Os().CloseHandle(made);
    Os().DeleteFileAtW(destination.parent, temporary.c_str());
    return release(INVALID_HANDLE_VALUE, 0);
  }
  const FileIdentity written = NoteWritten(made, destination, claim.source != nullptr);
  if (claim.source != nullptr) claim.Settle(source_identity, destination.path, written);
  return release(made, 1);
}

}  // namespace vx
