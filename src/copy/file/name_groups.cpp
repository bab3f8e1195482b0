// With /HardLinks: the names of one source file kept one object at the
// destination.
#include "name_groups.h"

#include <optional>

#include "../../report/report.h"
#include "../run_settings.h"
#include "../access.h"
#include "../registries.h"
#include "../replica/decide.h"
#include "../replica/history.h"
#include "../replica/temporary_name.h"
#include "../replica/written.h"
#include "volume_features.h"

namespace vx {

namespace {

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
    if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) {
      NoteRefusal(destination.parent, code, VolumeLack::kHardLinks, source.path);
      return Linked::kNo;
    }
    if (destination.parent_is_new) {
      ReportWin32Error(source.path, u"CopyOneFile:NameCollision(DESTINATION)", ERROR_FILE_EXISTS);
    } else {
      ReportWin32Error(destination.path, u"CopyOneFile:CreateHardLink(DESTINATION)", code);
    }
    return Linked::kFailed;
  }
  if (replacing) {
    // With /History: the file at the name is kept, as any replaced version.
    bool moved_away = false;
    if (KeepsHistory() && !KeepReplaced(*replaced, destination, &moved_away)) {
      Os().DeleteFileAtW(destination.parent, name);
      return Linked::kFailed;
    }
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

}  // namespace

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

}  // namespace vx
