#include "copy_file.h"

#include <algorithm>
#include <vector>

#include "../../report/report.h"
#include "../../report/text.h"
#include "../run_settings.h"
#include "../access.h"
#include "../registries.h"
#include "../replica/decide.h"
#include "copy_data.h"
#include "copy_streams.h"
#include "name_groups.h"
#include "place_file.h"
#include "staged_replacements.h"
#include "../replica/temporary_name.h"
#include "verify_file.h"
#include "volume_features.h"

namespace vx {

namespace {

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

// In a directory this run made, which no one else can reach until its
// subtree is done, a copy is written at its name at once: one create
// instead of a temporary name's create and a rename, each a round trip on
// a share. A failure removes it; after a crash the run's mark makes the
// rerun copy again whatever changed since that run started, so only where
// the mark is set (a cut file has the crash's time, later than its
// source's, which the time rules alone would keep). With /Flush (or where
// each file is flushed) a name still waits for data and times on disk, and
// an encrypted copy is made raw under a temporary name.
bool WritesAtName(const Place& destination, bool encrypted) {
  return destination.parent_is_new && State.RunMarked && !encrypted && !Settings.Flush &&
         !State.FlushEachFile;
}

HANDLE CreateAtName(const Place& destination) {
  return Os().CreateFileAtW(destination.parent, destination.Name(), DestinationAccess() | DELETE,
                            0, CREATE_NEW,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

// A reparse point of a tag the platform does not know is copied as the
// data its file system hands out, an ordinary file at the destination: a
// note says so, naming the tag, since its own behaviour is not carried.
void NoteUnknownReparseTag(HANDLE source_file, const BY_HANDLE_FILE_INFORMATION& info,
                           const std::u16string& path) {
  ULONG tag = 0;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
      Os().GetUnknownReparseTag == nullptr || !Os().GetUnknownReparseTag(source_file, &tag)) {
    return;
  }
  std::u16string hex = UpperHex(tag);
  hex.insert(0, 8 - std::min<size_t>(8, hex.size()), u'0');
  ReportNote(path, u"a reparse point of an unknown tag (0x" + hex +
                       u"), copied as the data its file system gives");
}

}  // namespace

// The copy is written under a temporary name in the destination directory,
// where no one else can open it, and put at its name only once its data,
// times and security are complete (in a directory the run made, at its
// name, see WritesAtName). Until then the old file stays as it was:
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
  if (decision == Decision::kCopy) NoteUnknownReparseTag(source_file, source_info, source.path);
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
  std::u16string temporary;  // stays empty where the copy is written at its name
  HANDLE file = WritesAtName(destination, encrypted)
                    ? CreateAtName(destination)
                    : MakeUnderTemporaryName(&temporary, [&](const char16_t* name) {
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
    const DWORD code = Os().GetLastError();
    if (temporary.empty() && (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)) {
      ReportWin32Error(source.path, u"CopyOneFile:NameCollision(DESTINATION)", ERROR_FILE_EXISTS);
    } else {
      ReportWin32Error(source.path,
                       encrypted ? u"CopyOneFile:CopyEncryptedRaw(DESTINATION)"
                                 : u"CopyOneFile:CreateFile(DESTINATION)",
                       code);
    }
    return release(INVALID_HANDLE_VALUE, 0);
  }
  auto discard = [&] {
    Os().CloseHandle(file);
    Os().DeleteFileAtW(destination.parent,
                       temporary.empty() ? destination.Name() : temporary.c_str());
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
  const bool staged = StagesReplacement(destination, replaced, temporary, several_names);
  if (!PutInPlace(source_file, source_info, &replaced, file, temporary, source, destination,
                  NewObject::kFile, staged)) {
    return discard();
  }
  const FileIdentity written = NoteWritten(file, destination, several_names);
  if (several_names) claim.Settle(source_identity, destination.path, written);
  if (!staged) return release(file, 1);
  StageReplacement(file, std::move(temporary), found, destination);
  return release(INVALID_HANDLE_VALUE, 1);
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
  // /Verify compares a special file as a node whatever /Specials says: it
  // is never opened for data.
  const bool special = !link && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0 &&
                       (Settings.Specials || Settings.Verify) && Os().CreateSpecialAtW != nullptr;
  // Swapped meanwhile for a file or directory: the walk copies it as one.
  if (!link && !special) {
    Os().CloseHandle(node);
    return kNotANode;
  }
  AnnounceFile(source.path, 0);
  if (Settings.Verify) {
    const int result =
        VerifyOneNode(source, destination, node, info, target.data(), target_bytes, link);
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
    const DWORD code = Os().GetLastError();
    // Some volumes (exFAT through FUSE) leave an entry behind a node they
    // refuse: the name is the run's own, drawn at random.
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      Os().DeleteFileAtW(destination.parent, temporary.c_str());
    }
    NoteRefusal(destination.parent, code, link ? VolumeLack::kLinks : VolumeLack::kSpecialFiles,
                source.path);
    ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", code);
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
