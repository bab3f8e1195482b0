// Entering and leaving a directory of the walk: its handles, its security,
// times and attributes, and the marks a replica keeps.
#include "walk_levels.h"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../../report/report.h"
#include "../run_settings.h"
#include "stop.h"
#include "../access.h"
#include "../file/copy_streams.h"
#include "../file/security_parts.h"
#include "../file/staged_replacements.h"
#include "../identity.h"
#include "../place.h"
#include "../registries.h"
#include "../replica/decide.h"
#include "../replica/destination_directory.h"
#include "../replica/durability.h"
#include "../replica/history.h"
#include "../replica/tidy_destination.h"
#include "../replica/volume_records.h"
#include "../replica/write_gate.h"

namespace vx {

namespace {

bool SecureCreated(const Level& level);

// Closes what a directory holds, the later-obtained first.
int Release(HANDLE destination, HANDLE source) {
  if (destination != INVALID_HANDLE_VALUE) Os().CloseHandle(destination);
  Os().CloseHandle(source);
  return 0;
}

}  // namespace

namespace {

// The source directory, opened (or taken from the copier that read it
// ahead) and checked, and announced; INVALID_HANDLE_VALUE with `*result`
// the directory's result where it is not walked. The destination root met
// in the source is passed over without a word.
HANDLE OpenSourceLevel(Walk& walk, const Place& source, Level* level, FileIdentity* identity,
                       int* result) {
  *result = 0;
  HANDLE handle = TakeAheadDirectory(walk, &level->info, identity);
  const bool looked_at = handle != INVALID_HANDLE_VALUE;
  if (!looked_at) handle = OpenSource(source);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = Os().GetLastError();
    AnnounceDirectory(source.path);
    ReportWin32Error(source.path, u"CreateFile(SOURCE)", code);
    if (source.parent == nullptr && IsNotFound(code)) {
      WriteHint(u"the source root " + source.path + u" does not exist.");
    }
    return INVALID_HANDLE_VALUE;
  }
  const char16_t* failed = nullptr;
  if (!looked_at && !Os().GetFileInformationByHandle(handle, &level->info)) {
    failed = u"CopyOneDirectory:GetFileInformationByHandle(SOURCE-DIR)";
  } else if (source.through_link && !MayFollow(source, handle)) {
    failed = u"CopyOneDirectory:FollowLink(SOURCE-DIR)";
  }
  if (failed != nullptr) {
    const DWORD code = Os().GetLastError();
    AnnounceDirectory(source.path);
    ReportWin32Error(source.path, failed, code);
    Os().CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  if (!looked_at) *identity = IdentityOf(handle, level->info);
  if (IsDestinationRoot(walk, handle, *identity) || IsHistoryFolder(*identity)) {
    Os().CloseHandle(handle);
    *result = 1;
    return INVALID_HANDLE_VALUE;
  }
  // A link back to a directory on the way down would be walked for ever.
  if (OnWalkPath(walk, *identity)) {
    ReportWin32Error(source.path, u"CopyOneDirectory:AncestorCheck(SOURCE-DIR)",
                     ERROR_CANT_RESOLVE_FILENAME);
    Os().CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  AnnounceDirectory(source.path);
  return handle;
}

// With /SecurityDescriptor: the source directory's security, kept in its
// level for the destination.
bool ReadSourceSecurity(Walk& walk, const Place& source, HANDLE handle, Level* level) {
  if (!Settings.SecurityDescriptor) return true;
  // Read with the listing, from the handle the walk took (TakeAheadDirectory).
  if (ListedAhead* ahead = walk.entering_ahead.get(); ahead != nullptr && ahead->descriptor_known) {
    level->descriptor = std::move(ahead->descriptor);
    ahead->descriptor_known = false;
    return true;
  }
  std::vector<unsigned char>& scratch = walk.descriptor_scratch;
  // Cleared once: what is read is kept to the length the call gives.
  if (scratch.size() < kSecurityBufferBytes) scratch.resize(kSecurityBufferBytes);
  DWORD length_needed = 0;
  if (!GetCarriedSecurity(handle, scratch.data(), kSecurityBufferBytes, &length_needed,
                          source.path)) {
    ReportWin32Error(source.path, u"GetKernelObjectSecurity(SOURCE-DIR)", Os().GetLastError());
    return false;
  }
  const size_t kept = length_needed != 0 && length_needed <= kSecurityBufferBytes
                          ? length_needed
                          : kSecurityBufferBytes;
  level->descriptor.assign(scratch.begin(), scratch.begin() + static_cast<ptrdiff_t>(kept));
  return true;
}

// A directory a run made and never finished (killed before its subtree
// was done) is still private to the runner, without its source's times:
// it gets, when this run is done with it, the security a finished run
// gives it. It is known by its mark, or, where the run was cut (or the
// power went) between making it and marking it, by having changed since
// an unfinished run recorded on the root began: it is then marked again,
// so that what this run makes in it meanwhile is made in a directory of
// the run's, as in a marked one.
bool NoteLeftPrivate(const Place& destination, HANDLE handle,
                     const BY_HANDLE_FILE_INFORMATION& info, Level* level) {
  BOOL is_private = 0;
  const bool left_private = !WritesNothing() && Os().IsPrivateDirectory != nullptr &&
                            Os().CompareFileTime(&info.ftLastWriteTime,
                                                 &level->info.ftLastWriteTime) != 0 &&
                            Os().IsPrivateDirectory(handle, &is_private) && is_private;
  const bool marked = left_private && IsMarkedPrivate(handle);
  level->heal_security = marked || (left_private && ChangedInUnfinishedRun(handle));
  return !level->heal_security || marked || MarkPrivate(handle, destination.path);
}

// What an existing destination directory (or the root) is: its volume,
// whether leaving it flushes, its identity among what the run wrote in its
// parent (a second source name for it is a collision), and whether an
// earlier run left it private.
bool LookAtDestinationLevel(Walk& walk, const Level* parent, const Place& destination,
                            HANDLE handle, bool created, Level* level) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!Os().GetFileInformationByHandle(handle, &info)) {
    ReportWin32Error(destination.path,
                     u"CopyOneDirectory:GetFileInformationByHandle(DESTINATION-DIR)",
                     Os().GetLastError());
    return false;
  }
  const FileIdentity identity = IdentityOf(handle, info);
  if (!created) {
    level->found_info = info;
    level->found_known = true;
  }
  // A directory the run creates is on its parent's volume.
  level->destination_volume = info.dwVolumeSerialNumber;
  level->flush_at_leave = parent == nullptr || parent->destination_volume != info.dwVolumeSerialNumber;
  level->changes_at_enter = parent == nullptr ? 0 : ChangesPassed();
  if (destination.parent == nullptr) {
    walk.destination_root = identity;
    if (!identity.known) walk.destination_root_path = FinalPathOf(handle);
  }
  if (destination.written != nullptr) {
    if (destination.written->Contains(identity)) {
      ReportWin32Error(level->source.path, u"CopyOneDirectory:NameCollision(DESTINATION-DIR)",
                       ERROR_ALREADY_EXISTS);
      return false;
    }
    destination.written->Add(identity);
    if (ComparesNames()) destination.written->Match(identity);
  }
  return created || NoteLeftPrivate(destination, handle, info, level);
}

// Below the root: whether the source directory is a mount point, and what
// the replica recorded of it; with /Mirror, how its destination compares
// names.
void NoteVolumes(const Level* parent, HANDLE destination_handle, bool created, Level* level) {
  const bool opened = destination_handle != INVALID_HANDLE_VALUE;
  if (parent != nullptr) {
    level->keep_all = parent->keep_all;
    level->mounted_here = level->info.dwVolumeSerialNumber != parent->info.dwVolumeSerialNumber;
    // Marks are read where removals depend on them, and where a run that
    // writes must know whether to record a mount point.
    if (opened && !created && (ComparesNames() || (level->mounted_here && !WritesNothing()))) {
      CheckMountPoint(level, destination_handle);
    }
    if (created) level->destination_volume = parent->destination_volume;
  }
  if (ComparesNames()) {
    level->names_ignore_case =
        opened ? NamesIgnoreCaseIn(destination_handle) : Os().UpcaseName != nullptr;
  }
}

// The security an existing directory gets at once, the marks that keep a
// directory the run made private to it while it is filled, and the run's
// mark on the root. Each goes on before anything is written below.
bool SecureAndMark(const Place& destination, Level* level) {
  const HANDLE handle = level->destination_handle;
  const bool opened = handle != INVALID_HANDLE_VALUE;
  if (destination.parent == nullptr && opened) LearnLastEndedRun(handle);
  // A directory the run created stays its own while it is filled; its
  // final security comes with its times. One that existed gets the
  // source's security at once, where it may differ, as a file's does.
  level->compares_metadata =
      level->created || !opened ||
      MetadataMayDiffer(level->source_handle, handle, destination.parent == nullptr);
  if (!level->created && level->compares_metadata && Settings.SecurityDescriptor &&
      !WritesNothing() &&
      !SetCarriedSecurity(handle, level->descriptor.data(), destination.path)) {
    ReportWin32Error(destination.path, u"SetKernelObjectSecurity(DESTINATION-DIR)",
                     Os().GetLastError());
    return false;
  }
  if (destination.parent == nullptr && opened && !CheckSourceRootVolume(level, handle)) {
    return false;
  }
  level->private_to_run = level->created && !Registries.Files.active;
  // A directory that cannot be marked as the run's own is never left
  // private: it gets its final security at once, and its walk fails.
  if (level->private_to_run && !WritesNothing() && !MarkPrivate(handle, destination.path)) {
    level->private_to_run = false;
    SecureCreated(*level);
    return false;
  }
  // Runs of several lists at once share directories: each gives one it
  // made its final security before it creates anything there, so that no
  // run fills a directory whose security another run has yet to change
  // (what a new file there starts out with would change under it).
  if (level->created && Registries.Files.active && !WritesNothing() && !SecureCreated(*level)) {
    return false;
  }
  // The run's mark goes on before anything is written below the root, and
  // last, since only leaving the root takes it off again.
  return destination.parent != nullptr || !opened || MarkRunStarted(handle, destination.path);
}

}  // namespace

// Opens and checks a source directory, announces it, and makes and opens
// its destination. On success its level is pushed onto `levels` (kEntered);
// otherwise the directory's result, as the walk counts it.
int Enter(Walk& walk, const Place& source, const Place& destination,
          std::vector<std::unique_ptr<Level>>* levels) {
  const Level* parent = levels->empty() ? nullptr : levels->back().get();
  std::unique_ptr<Level> level(new (std::nothrow) Level(source, destination));
  if (!level) {
    AnnounceDirectory(source.path);
    ReportWin32Error(source.path, u"CreateFile(SOURCE)", ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  FileIdentity identity;
  int result = 0;
  const HANDLE source_handle = OpenSourceLevel(walk, source, level.get(), &identity, &result);
  if (source_handle == INVALID_HANDLE_VALUE) return result;
  if (!ReadSourceSecurity(walk, source, source_handle, level.get())) {
    return Release(INVALID_HANDLE_VALUE, source_handle);
  }
  bool created = false;
  HANDLE destination_handle = INVALID_HANDLE_VALUE;
  if (!OpenDestinationLevel(source, destination, &created, &destination_handle)) {
    return Release(INVALID_HANDLE_VALUE, source_handle);
  }
  if (destination_handle != INVALID_HANDLE_VALUE &&
      (destination.parent == nullptr || (!created && destination.written != nullptr)) &&
      !LookAtDestinationLevel(walk, parent, destination, destination_handle, created,
                              level.get())) {
    return Release(destination_handle, source_handle);
  }
  // The history is known once the destination root is (/List over a root
  // it would make has none to look at).
  if (destination.parent == nullptr && destination_handle != INVALID_HANDLE_VALUE &&
      Settings.History != nullptr && !OpenHistory()) {
    return Release(destination_handle, source_handle);
  }
  NoteVolumes(parent, destination_handle, created, level.get());
  level->source_handle = source_handle;
  level->destination_handle = destination_handle;
  level->created = created;
  level->source_identity = identity;
  if (!SecureAndMark(destination, level.get())) return Release(destination_handle, source_handle);
  level->source_length = walk.source_path.size();
  level->destination_length = walk.destination_path.size();
  walk.path.push_back(identity);
  levels->push_back(std::move(level));
  ++walk.open_levels;
  return kEntered;
}

namespace {

// Gives a directory the run created (or found left private by an earlier
// run) its final security: the source's, or what a new directory there
// gets. Whatever ends its walk, it gets this; only a finished one gets its
// times too.
bool SecureCreated(const Level& level) {
  if (!level.created && !level.heal_security) return true;
  // The security it gets may refuse the renames of replacements waiting in
  // it (a source that denies the administrators writing): they go first.
  if (level.heal_security) PutStagedIn(level.destination_handle);
  const BOOL secured =
      Settings.SecurityDescriptor
          ? SetCarriedSecurity(level.destination_handle,
                               const_cast<unsigned char*>(level.descriptor.data()),
                               level.destination.path)
          : Os().ApplyInheritedSecurity == nullptr ||
                Os().ApplyInheritedSecurity(level.destination_handle, level.destination.parent,
                                            level.source_handle);
  if (!secured) {
    ReportWin32Error(level.destination.path, u"SetKernelObjectSecurity(DESTINATION-DIR)",
                     Os().GetLastError());
    return false;
  }
  return level.created && Registries.Files.active
             ? true
             : UnmarkPrivate(level.destination_handle, level.destination.path);
}

// Whether a directory that existed already has its source's times, so that
// a night with nothing to do writes none. Where the platform copies times
// itself, it compares them itself.
bool KeepsTimesOf(const Level& level) {
  if (level.created || Os().CopyFileTimes != nullptr) return false;
  BY_HANDLE_FILE_INFORMATION kept;
  return Os().GetFileInformationByHandle(level.destination_handle, &kept) &&
         Os().CompareFileTime(&kept.ftCreationTime, &level.info.ftCreationTime) == 0 &&
         Os().CompareFileTime(&kept.ftLastAccessTime, &level.info.ftLastAccessTime) == 0 &&
         Os().CompareFileTime(&kept.ftLastWriteTime, &level.info.ftLastWriteTime) == 0;
}

// Ends the walk of a directory and pops it off the walk path; returns its
// result. An unfinished one (an error, a stop) gets its security but no
// times, and no leftovers are removed from it.
int Finish(Walk& walk, Level& level, bool finished) {
  level.listing.reset();
  if (finished && !level.created) {
    finished = TidyDestination(level, walk.destination_root_length, IsStagedName);
  }
  if (!finished) {
    if (!WritesNothing()) SecureCreated(level);
    return 0;
  }
  // /List writes nothing: no security, times or attributes either.
  if (WritesNothing()) return 1;
  // A directory's streams are carried where the run made it; one that
  // existed keeps its own.
  if (level.created && Settings.Streams &&
      !CopyStreams(level.source_handle, level.destination_handle, level.source.path,
                   level.destination.path, u"CopyOneDirectory:")) {
    SecureCreated(level);
    return 0;
  }
  if (!SecureCreated(level)) return 0;
  if (level.found_known && KeepsHistory()) NoteDirectoryTimes(level.destination.path, level.found_info, level.info);
  if (!KeepsTimesOf(level) &&
      !CopyTimes(level.source_handle, level.info, level.destination_handle)) {
    ReportWin32Error(level.destination.path, u"CopyOneDirectory:SetFileTime(DESTINATION-DIR)",
                     Os().GetLastError());
    return 0;
  }
  if (Settings.Attributes && level.compares_metadata && Os().CopyAttributes != nullptr &&
      !Os().CopyAttributes(level.source_handle, level.destination_handle)) {
    ReportWin32Error(level.destination.path, u"CopyOneDirectory:SetFileAttributes(DESTINATION-DIR)",
                     Os().GetLastError());
    return 0;
  }
  return KeepMountMark(level) ? 1 : 0;
}

}  // namespace

// Finishes a directory and closes what it holds. Where its destination is
// the root of the run or of another volume than its parent's, everything
// written there is made durable first, its whole subtree being done, the
// replacements still waiting for their names put in before. Where some wait
// in it, the batch keeps its handles.
int Leave(Walk& walk, Level& level, bool finished) {
  int result = Finish(walk, level, finished);
  if (level.flush_at_leave) {
    PutStaged();
    if (!MakeDurable(level.destination_handle, level.destination.path,
                     level.destination.parent == nullptr,
                     ChangesPassed() != level.changes_at_enter)) {
      result = 0;
    }
  }
  if (!AdoptStagedDirectory(level.destination_handle, level.source_handle, level.info,
                            result == 1 && !WritesNothing())) {
    Release(level.destination_handle, level.source_handle);
  }
  return result;
}

}  // namespace vx
