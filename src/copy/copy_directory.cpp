#include "copy_directory.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../report/json_log.h"
#include "../report/progress.h"
#include "../report/report.h"
#include "../run/run_state.h"
#include "../run/stop.h"
#include "access.h"
#include "copy_file.h"
#include "copy_streams.h"
#include "destination_directory.h"
#include "durability.h"
#include "exclude.h"
#include "file_tries.h"
#include "identity.h"
#include "listing.h"
#include "place.h"
#include "registries.h"
#include "remove.h"
#include "security_parts.h"
#include "temporary_name.h"
#include "workers.h"
#include "written.h"

namespace vx {

namespace {

constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);

// What the whole walk knows: the identities of the source directories from
// the root down to the one being copied (a directory met again on that path
// is a loop), the destination root's (a source directory that is the
// destination root is the run's own output, not input), and the full paths
// of the entry being copied, which grow by one name on the way down and are
// cut back on the way up, so a level keeps no path of its own.
struct Walk {
  std::vector<FileIdentity> path;
  FileIdentity destination_root;
  std::u16string destination_root_path;  // its final path, where its identity is unknown
  std::u16string source_path;
  std::u16string destination_path;
  size_t source_root_length = 0;  // of the two paths at the roots
  size_t destination_root_length = 0;
  // Where a source directory's security is read before only its own bytes
  // are kept.
  std::vector<unsigned char> descriptor_scratch;
  // With /Threads:, who copies the files the walk meets; none where the
  // walk copies them itself.
  Workers* workers = nullptr;
};

// A set of names that a name's view looks up without a copy.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view name) const {
    return std::hash<std::u16string_view>()(name);
  }
};
using NameSet = std::unordered_set<std::u16string, NameHash, std::equal_to<>>;

// One directory being copied: what it holds open and keeps while its
// entries are copied. Levels live on the heap in the walk's own stack, not
// on the machine stack, so depth costs a level's handles, its listing
// position and its security, whatever the length of the path.
struct Level {
  Level(const Place& source_place, const Place& destination_place)
      : source(source_place), destination(destination_place) {}
  Place source;
  Place destination;
  size_t source_length = 0;  // of the walk's paths while they name this level
  size_t destination_length = 0;
  HANDLE source_handle = INVALID_HANDLE_VALUE;
  HANDLE destination_handle = INVALID_HANDLE_VALUE;
  bool created = false;
  BY_HANDLE_FILE_INFORMATION info;
  std::vector<unsigned char> descriptor;  // the source's, with /SecurityDescriptor
  IO_STATUS_BLOCK io_status;
  std::unique_ptr<ListingBuffer> listing;
  BOOLEAN restart_scan = 1;
  WrittenObjects written;
  // With /Mirror: the names the source listing held, as the destination
  // directory compares names (`names_ignore_case`); where that differs
  // from a name, the name itself too.
  NameSet source_names;
  std::unordered_map<std::u16string, std::u16string> source_spellings;
  bool names_ignore_case = false;
  // With /Mirror: nothing below this directory is removed (its source is a
  // mount point that came or went since the last run).
  bool keep_all = false;
  // With /Mirror: a source name could not be compared, so this directory's
  // removals are unsure and none is made.
  bool names_unsure = false;
  // Whether the source directory is on another volume than its parent's,
  // and whether the replica's mark says it was at the last run.
  bool mounted_here = false;
  bool was_mounted_here = false;
  // Whether its destination is the run's root or another volume's top: what
  // was written there is made durable when it is left.
  bool flush_at_leave = false;
  DWORD destination_volume = 0;
  // An existing directory left private by a run that never finished it.
  bool heal_security = false;
  // Its files handed to workers and not yet done.
  FilesOf files;
};

bool IsDotOrDotDot(const std::u16string& name) {
  return name == u"." || name == u"..";
}

bool OnWalkPath(const Walk& walk, const FileIdentity& identity) {
  for (const FileIdentity& ancestor : walk.path) {
    if (SameObject(ancestor, identity)) return true;
  }
  return false;
}

// Whether a source directory is the destination root (the run's own
// output): by identity, or by final path where identities are unknown.
bool IsDestinationRoot(const Walk& walk, HANDLE source_handle, const FileIdentity& identity) {
  if (identity.known && walk.destination_root.known) {
    return SameObject(identity, walk.destination_root);
  }
  return !walk.destination_root_path.empty() &&
         FinalPathOf(source_handle) == walk.destination_root_path;
}

// Appends `name` to a walk path as JoinPath joins it.
void AppendName(std::u16string* path, std::u16string_view name) {
  if (path->empty() || path->back() != kPathSeparator) path->push_back(kPathSeparator);
  path->append(name);
}

// `path` below the root of `root_length` units: the path patterns of
// /Exclude: are matched against it.
std::u16string_view BelowRoot(std::u16string_view path, size_t root_length) {
  path.remove_prefix(std::min(root_length, path.size()));
  while (!path.empty() && path.front() == kPathSeparator) path.remove_prefix(1);
  return path;
}

// The path of the entry `name` of the directory at `directory_path`, below
// the root of `root_length` units, as /Exclude:'s path patterns see it.
std::u16string EntryBelowRoot(std::u16string_view directory_path, size_t root_length,
                              std::u16string_view name) {
  std::u16string relative(BelowRoot(directory_path, root_length));
  if (!relative.empty()) relative.push_back(kPathSeparator);
  relative.append(name);
  return relative;
}

// The identity of the entry `name` of the open directory, looked at as
// itself; unknown where it cannot be looked at.
FileIdentity IdentityAt(HANDLE directory, const std::u16string& name) {
  HANDLE object = Os().CreateFileAtW(directory, name.c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                     OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NODE);
  if (object == INVALID_HANDLE_VALUE) return FileIdentity{};
  BY_HANDLE_FILE_INFORMATION info;
  FileIdentity identity;
  if (Os().GetFileInformationByHandle(object, &info)) identity = IdentityOf(object, info);
  Os().CloseHandle(object);
  return identity;
}

// Whether a leftover under a temporary name is a run's own: not only its
// form says so (anyone may make a file so named), its owner must be whom
// the run makes objects for. One that cannot be looked at stays.
bool IsRunsOwn(HANDLE directory, const std::u16string& name) {
  if (Os().IsOwnedByRunner == nullptr) return true;
  HANDLE object = Os().CreateFileAtW(directory, name.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                     kShareAll, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NODE);
  if (object == INVALID_HANDLE_VALUE) return false;
  BOOL owned = 0;
  const bool own = Os().IsOwnedByRunner(object, &owned) && owned;
  Os().CloseHandle(object);
  return own;
}

// Gives the destination entry `name` the source's spelling `source_name`
// in place: the two name one entry (a case-only rename at the source, on a
// destination that ignores case). Returns false after reporting.
bool Respell(const Level& level, const std::u16string& name, const std::u16string& source_name) {
  std::u16string path;
  JoinPath(level.destination.path, name, &path);
  HANDLE object = Os().CreateFileAtW(
      level.destination_handle, name.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                         FILE_FLAG_OPEN_NODE);
  const BOOL renamed =
      object != INVALID_HANDLE_VALUE &&
      Os().MoveFileAtW(object, level.destination_handle, name.c_str(), source_name.c_str(), 1);
  const DWORD code = Os().GetLastError();
  if (object != INVALID_HANDLE_VALUE) Os().CloseHandle(object);
  if (!renamed) ReportWin32Error(path, u"CopyOneDirectory:MoveFile(DESTINATION)", code);
  return renamed != 0;
}

// The source's own spelling of the name that compares as `compared`.
const std::u16string& SpellingOf(const Level& level, const std::u16string& compared) {
  const auto spelled = level.source_spellings.find(compared);
  return spelled != level.source_spellings.end() ? spelled->second : compared;
}

// Whether `name` is, to the letter, the name of one of the source
// directory's entries.
bool IsSourceName(const Level& level, std::u16string_view name) {
  // Names compared as they are need no copy to be looked up.
  if (!level.names_ignore_case) return level.source_names.count(name) != 0;
  std::u16string compared;
  return FoldName(name, level.names_ignore_case, &compared) &&
         level.source_names.count(compared) != 0 && SpellingOf(level, compared) == name;
}

// Whether the destination directory lists `name` to the letter: asked only
// before a rename in place, which is for one entry under two spellings, not
// for two entries (hard links) under two names.
bool IsListed(const Level& level, const std::u16string& name) {
  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  if (!listing) return true;
  const auto* record = reinterpret_cast<const FILE_NAMES_INFORMATION*>(listing->bytes);
  for (BOOLEAN restart_scan = 1;; restart_scan = 0) {
    IO_STATUS_BLOCK io_status;
    const NTSTATUS status = State.NtQueryDirectoryFile(
        level.destination_handle, nullptr, nullptr, nullptr, &io_status, listing->bytes,
        kListingBufferBytes, FileNamesInformation, 1, nullptr, restart_scan);
    if (status < 0) return !IsListingEnd(status, restart_scan);  // unsure: listed
    if (std::u16string_view(record->FileName, record->FileNameLength / sizeof(char16_t)) == name) {
      return true;
    }
  }
}

// The source entry whose copy is the object `identity`, found under a name
// that compares unlike every source name (a destination that ignores case
// where names compare byte for byte): the source name that leads there.
// Empty where none does.
std::u16string SourceNameOf(const Level& level, const FileIdentity& identity) {
  for (const std::u16string& compared : level.source_names) {
    const std::u16string& name = SpellingOf(level, compared);
    if (SameObject(IdentityAt(level.destination_handle, name), identity)) return name;
  }
  return {};
}

// Tidies a destination directory the run did not make, once all its
// source's entries are copied: removes the files a killed earlier run left
// under the temporary names the run writes to (unless the source directory
// has an entry of that very name) and, with /Mirror, every entry the source
// directory does not have, unless it is excluded. An entry the run matched
// to a source entry (by identity: the file it skipped or wrote, the
// directory it entered, the link it kept) is never removed, whatever the
// names compare to; where its name is spelled otherwise than the source's
// (a case-only rename), it is renamed to the source's spelling. Names only
// are listed; an entry is looked at only where its name is not the
// source's. After a listing that fails (an ERR with /Mirror) or a stop
// request, /Mirror removes and renames nothing.
// Returns false where the source root looked empty to /Mirror: the
// directory then counts as unfinished, so not even its times and security
// come from what may be an unmounted volume's mount point.
bool TidyDestination(const Walk& walk, const Level& level) {
  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  if (!listing) return true;
  const auto* record = reinterpret_cast<const FILE_NAMES_INFORMATION*>(listing->bytes);
  std::vector<std::u16string> leftovers;
  std::vector<std::u16string> others;  // with /Mirror, names not the source's own
  bool listed_whole = false;
  for (BOOLEAN restart_scan = 1;; restart_scan = 0) {
    IO_STATUS_BLOCK io_status;
    const NTSTATUS status = State.NtQueryDirectoryFile(
        level.destination_handle, nullptr, nullptr, nullptr, &io_status, listing->bytes,
        kListingBufferBytes, FileNamesInformation, 1, nullptr, restart_scan);
    if (status < 0) {
      listed_whole = IsListingEnd(status, restart_scan);
      // What /Mirror would remove stays: said once, for the directory.
      if (!listed_whole && ComparesNames()) {
        ReportNtStatus(level.destination.path, u"NtQueryDirectoryFile()", status);
      }
      break;
    }
    std::u16string_view name(record->FileName, record->FileNameLength / sizeof(char16_t));
    if (IsTemporaryName(name)) {
      leftovers.emplace_back(name);
    } else if (ComparesNames() && name != u"." && name != u".." && !IsSourceName(level, name)) {
      others.emplace_back(name);
    }
  }
  std::u16string path;
  for (const std::u16string& name : WritesNothing() ? std::vector<std::u16string>() : leftovers) {
    JoinPath(level.source.path, name, &path);
    HANDLE namesake = OpenSource(EntryPlace(level.source_handle, path, name.size()));
    if (namesake != INVALID_HANDLE_VALUE) {
      Os().CloseHandle(namesake);
      continue;
    }
    if (!IsRunsOwn(level.destination_handle, name)) continue;
    if (!Os().DeleteFileAtW(level.destination_handle, name.c_str())) {
      const DWORD code = Os().GetLastError();
      JoinPath(level.destination.path, name, &path);
      ReportWin32Error(path, u"CopyOneDirectory:DeleteFile(DESTINATION)", code);
    }
  }
  if (others.empty() || !listed_whole || StopRequested() || level.keep_all ||
      level.names_unsure) {
    return true;
  }
  std::vector<std::u16string> gone;  // from the source
  std::u16string compared;
  for (const std::u16string& name : others) {
    if (!FoldName(name, level.names_ignore_case, &compared)) {
      JoinPath(level.destination.path, name, &path);
      ReportWin32Error(path, u"CopyOneDirectory:LCMapStringEx(DESTINATION)", Os().GetLastError());
      continue;  // it stays
    }
    const bool namesake = level.source_names.count(compared) != 0;
    // Another spelling of a source entry's name, or no source entry's: the
    // object itself decides.
    const FileIdentity identity = IdentityAt(level.destination_handle, name);
    if (level.written.Matched(identity)) {
      const std::u16string source_name = namesake ? SpellingOf(level, compared)
                                                  : SourceNameOf(level, identity);
      // Listed under the source's name too, it is a second name (a hard
      // link) of what the source has: that name may go, the object stays.
      const bool second_name = !source_name.empty() && IsListed(level, source_name);
      if (!second_name) {
        if (!source_name.empty() && !WritesNothing()) Respell(level, name, source_name);
        continue;
      }
    }
    if (namesake) continue;
    const std::u16string relative =
        EntryBelowRoot(walk.destination_path, walk.destination_root_length, name);
    if (!IsExcluded(Registries.Excludes, relative, name, true)) gone.push_back(name);
  }
  if (gone.empty()) return true;
  if (Settings.Verify) {
    for (const std::u16string& name : gone) {
      ReportDifference(JoinPath(level.destination.path, name), u"only at the destination");
    }
    return true;
  }
  // A source root that lists nothing while its copy holds something is
  // what an unmounted volume's mount point looks like: the copy stays.
  if (level.destination.parent == nullptr && level.source_names.empty()) {
    ReportWin32Error(level.source.path, u"CopyOneDirectory:MirrorEmptySource(SOURCE-DIR)",
                     ERROR_NO_MORE_FILES);
    return false;
  }
  for (const std::u16string& name : gone) {
    if (StopRequested()) return true;
    JoinPath(level.destination.path, name, &path);
    RemoveEntry(level.destination_handle, name.c_str(), path);
  }
  return true;
}

// Closes what a directory holds, the later-obtained first.
int Release(HANDLE destination, HANDLE source) {
  if (destination != INVALID_HANDLE_VALUE) Os().CloseHandle(destination);
  Os().CloseHandle(source);
  return 0;
}

// The mark a replica directory keeps where its source directory was the
// root of another volume (a mount point) at the run that last finished it:
// the source's volume, in decimal.
constexpr char16_t kMountMark[] = u"mount";

bool HasMountMark(HANDLE destination) {
  if (Os().GetDirectoryMark == nullptr) return false;
  char value[16];
  DWORD returned = 0;
  return Os().GetDirectoryMark(destination, kMountMark, value, sizeof value, &returned) ||
         Os().GetLastError() == ERROR_MORE_DATA;
}

// Keeps in a finished replica directory whether its source is a mount
// point now. A mark that went is kept while the volume is away: every run
// until it is back (or the mark is removed by hand) says so and removes
// nothing below it. Returns false after reporting.
bool KeepMountMark(const Level& level) {
  if (!Settings.Mirror || level.destination.parent == nullptr ||
      Os().SetDirectoryMark == nullptr || !level.mounted_here || level.was_mounted_here) {
    return true;
  }
  const std::string volume = std::to_string(level.info.dwVolumeSerialNumber);
  if (!Os().SetDirectoryMark(level.destination_handle, kMountMark, volume.data(),
                             static_cast<DWORD>(volume.size()))) {
    ReportWin32Error(level.destination.path, u"CopyOneDirectory:SetMountMark(DESTINATION-DIR)",
                     Os().GetLastError());
    return false;
  }
  return true;
}

// The result of Enter when the directory's level was pushed.
constexpr int kEntered = -1;

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
  // The directory is opened and known before it is announced: the
  // destination root met in the source is passed over without a word.
  HANDLE source_handle = OpenSource(source);
  if (source_handle == INVALID_HANDLE_VALUE) {
    const DWORD code = Os().GetLastError();
    AnnounceDirectory(source.path);
    ReportWin32Error(source.path, u"CreateFile(SOURCE)", code);
    if (source.parent == nullptr && IsNotFound(code)) {
      WriteHint(u"the source root " + source.path + u" does not exist.");
    }
    return 0;
  }
  if (!Os().GetFileInformationByHandle(source_handle, &level->info)) {
    const DWORD code = Os().GetLastError();
    AnnounceDirectory(source.path);
    ReportWin32Error(source.path, u"CopyOneDirectory:GetFileInformationByHandle(SOURCE-DIR)", code);
    return Release(INVALID_HANDLE_VALUE, source_handle);
  }
  if (source.through_link && !MayFollow(source, source_handle)) {
    AnnounceDirectory(source.path);
    ReportWin32Error(source.path, u"CopyOneDirectory:FollowLink(SOURCE-DIR)", Os().GetLastError());
    return Release(INVALID_HANDLE_VALUE, source_handle);
  }
  const FileIdentity identity = IdentityOf(source_handle, level->info);
  if (IsDestinationRoot(walk, source_handle, identity)) {
    Os().CloseHandle(source_handle);
    return 1;
  }
  // A link back to a directory on the way down would be walked for ever.
  if (OnWalkPath(walk, identity)) {
    ReportWin32Error(source.path, u"CopyOneDirectory:AncestorCheck(SOURCE-DIR)",
                     ERROR_CANT_RESOLVE_FILENAME);
    return Release(INVALID_HANDLE_VALUE, source_handle);
  }
  AnnounceDirectory(source.path);

  if (Settings.SecurityDescriptor) {
    std::vector<unsigned char>& scratch = walk.descriptor_scratch;
    scratch.assign(kSecurityBufferBytes, 0);
    DWORD length_needed = 0;
    if (!GetCarriedSecurity(source_handle, scratch.data(), kSecurityBufferBytes, &length_needed,
                            source.path)) {
      ReportWin32Error(source.path, u"GetKernelObjectSecurity(SOURCE-DIR)", Os().GetLastError());
      return Release(INVALID_HANDLE_VALUE, source_handle);
    }
    const size_t kept = length_needed != 0 && length_needed <= kSecurityBufferBytes
                            ? length_needed
                            : kSecurityBufferBytes;
    level->descriptor.assign(scratch.begin(), scratch.begin() + static_cast<ptrdiff_t>(kept));
  }

  bool created = false;
  HANDLE destination_handle = INVALID_HANDLE_VALUE;
  if (!OpenDestinationLevel(source, destination, &created, &destination_handle)) {
    return Release(INVALID_HANDLE_VALUE, source_handle);
  }
  const bool opened = destination_handle != INVALID_HANDLE_VALUE;
  if (opened && (destination.parent == nullptr || (!created && destination.written != nullptr))) {
    BY_HANDLE_FILE_INFORMATION destination_info;
    if (!Os().GetFileInformationByHandle(destination_handle, &destination_info)) {
      ReportWin32Error(destination.path,
                       u"CopyOneDirectory:GetFileInformationByHandle(DESTINATION-DIR)",
                       Os().GetLastError());
      return Release(destination_handle, source_handle);
    }
    const FileIdentity destination_identity = IdentityOf(destination_handle, destination_info);
    // A directory the run creates is on its parent's volume.
    level->destination_volume = destination_info.dwVolumeSerialNumber;
    level->flush_at_leave =
        parent == nullptr || parent->destination_volume != level->destination_volume;
    if (destination.parent == nullptr) {
      walk.destination_root = destination_identity;
      if (!destination_identity.known) walk.destination_root_path = FinalPathOf(destination_handle);
    }
    if (destination.written != nullptr) {
      if (destination.written->Contains(destination_identity)) {
        ReportWin32Error(source.path, u"CopyOneDirectory:NameCollision(DESTINATION-DIR)",
                         ERROR_ALREADY_EXISTS);
        return Release(destination_handle, source_handle);
      }
      destination.written->Add(destination_identity);
      if (ComparesNames()) destination.written->Match(destination_identity);
    }
    // A directory a run made and never finished (killed before its subtree
    // was done) is still private to the runner, without its source's
    // times: it gets, when this run is done with it, the security a
    // finished run gives it.
    BOOL is_private = 0;
    level->heal_security = !created && !WritesNothing() && Os().IsPrivateDirectory != nullptr &&
                           Os().CompareFileTime(&destination_info.ftLastWriteTime,
                                                &level->info.ftLastWriteTime) != 0 &&
                           Os().IsPrivateDirectory(destination_handle, &is_private) && is_private;
  }
  if (ComparesNames()) {
    level->names_ignore_case =
        opened ? NamesIgnoreCaseIn(destination_handle) : Os().UpcaseName != nullptr;
    if (parent != nullptr) {
      level->keep_all = parent->keep_all;
      level->mounted_here = level->info.dwVolumeSerialNumber != parent->info.dwVolumeSerialNumber;
      level->was_mounted_here = opened && !created && HasMountMark(destination_handle);
      // A volume that came or went since the last run: what its replica
      // holds is no proof of what the source lacks.
      if (level->mounted_here != level->was_mounted_here && opened && !created) {
        ReportWin32Error(source.path, u"CopyOneDirectory:MountPointChanged(SOURCE-DIR)",
                         ERROR_FILE_INVALID);
        level->keep_all = true;
      }
    }
  }

  // A directory the run created stays its own while it is filled; its
  // final security comes with its times. One that existed gets the source's
  // security at once.
  if (!created && Settings.SecurityDescriptor && !WritesNothing() &&
      !SetCarriedSecurity(destination_handle, level->descriptor.data(), destination.path)) {
    ReportWin32Error(destination.path, u"SetKernelObjectSecurity(DESTINATION-DIR)",
                     Os().GetLastError());
    return Release(destination_handle, source_handle);
  }
  if (created && parent != nullptr) level->destination_volume = parent->destination_volume;
  // The run's mark goes on before anything is written below the root.
  if (destination.parent == nullptr && opened &&
      !MarkRunStarted(destination_handle, destination.path)) {
    return Release(destination_handle, source_handle);
  }
  level->source_handle = source_handle;
  level->destination_handle = destination_handle;
  level->created = created;
  level->source_length = walk.source_path.size();
  level->destination_length = walk.destination_path.size();
  walk.path.push_back(identity);
  levels->push_back(std::move(level));
  return kEntered;
}

// Gives a directory the run created (or found left private by an earlier
// run) its final security: the source's, or what a new directory there
// gets. Whatever ends its walk, it gets this; only a finished one gets its
// times too.
bool SecureCreated(const Level& level) {
  if (!level.created && !level.heal_security) return true;
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
  }
  return secured != 0;
}

// Ends the walk of a directory and pops it off the walk path; returns its
// result. An unfinished one (an error, a stop) gets its security but no
// times, and no leftovers are removed from it.
int Finish(Walk& walk, Level& level, bool finished) {
  // Its files are copied (or failed) before its leftovers and removals are
  // judged, its times set and its handles closed.
  if (walk.workers != nullptr) walk.workers->WaitFor(&level.files);
  walk.path.pop_back();
  level.listing.reset();
  if (finished && !level.created) finished = TidyDestination(walk, level);
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
  if (!CopyTimes(level.source_handle, level.info, level.destination_handle)) {
    ReportWin32Error(level.destination.path, u"CopyOneDirectory:SetFileTime(DESTINATION-DIR)",
                     Os().GetLastError());
    return 0;
  }
  if (Settings.Attributes && Os().CopyAttributes != nullptr &&
      !Os().CopyAttributes(level.source_handle, level.destination_handle)) {
    ReportWin32Error(level.destination.path, u"CopyOneDirectory:SetFileAttributes(DESTINATION-DIR)",
                     Os().GetLastError());
    return 0;
  }
  return KeepMountMark(level) ? 1 : 0;
}

// Finishes a directory and closes what it holds. Where its destination is
// the root of the run or of another volume than its parent's, everything
// written there is made durable first, its whole subtree being done.
int Leave(Walk& walk, Level& level, bool finished) {
  int result = Finish(walk, level, finished);
  if (level.flush_at_leave && !MakeDurable(level.destination_handle, level.destination.path,
                                           level.destination.parent == nullptr)) {
    result = 0;
  }
  Release(level.destination_handle, level.source_handle);
  return result;
}



enum class Next { kEntry, kEnd, kUnfinished };

// Whether the entry `name` of the directory the walk's source path names is
// left out by /Exclude:.
bool IsExcludedEntry(const Walk& walk, std::u16string_view name) {
  return IsExcluded(Registries.Excludes, EntryBelowRoot(walk.source_path, walk.source_root_length, name),
                    name);
}

// Whether a listed entry is copied as a node (CopyOneNode): a link where
// links are kept, a FIFO, socket or device with /Specials.
bool IsNode(DWORD attributes) {
  return ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && State.KeepLinks) ||
         ((attributes & FILE_ATTRIBUTE_DEVICE) && Settings.Specials);
}

// A cloud placeholder or an offline file holds no data here: reading it
// would fetch it (a whole synced tree downloaded and left local), or fail
// where no provider runs. Without /Recall it is one ERR, and /Mirror keeps
// its earlier copy.
bool IsNotLocal(DWORD attributes) {
  constexpr DWORD kNotLocal =
      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_RECALL_ON_OPEN | FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
  return (attributes & kNotLocal) != 0 && !Settings.Recall;
}

int SkipNotLocal(const std::u16string& path, DWORD attributes, uint64_t size) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    ReportWin32Error(path, u"CopyOneDirectory:NotLocal(SOURCE-DIR)", ERROR_FILE_OFFLINE);
  } else {
    AnnounceFile(path, size);
    ReportWin32Error(path, u"CopyOneFile:NotLocal(SOURCE)", ERROR_FILE_OFFLINE);
    SettleFile(0);
  }
  return 0;
}

// The next entry of the level's listing worth copying (no "." or "..", no
// directory without /SubDirectories, though a link to one is copied where
// links are kept), with its name in `name`; kEnd after the last;
// kUnfinished after a stop or a failed listing, reported.
Next NextEntry(const Walk& walk, Level& level, std::u16string* name, DWORD* attributes,
               uint64_t* size) {
  if (!level.listing) {
    level.listing.reset(new (std::nothrow) ListingBuffer);
    if (!level.listing) {
      ReportNtStatus(level.source.path, u"NtQueryDirectoryFile()", kStatusNoMemory);
      return Next::kUnfinished;
    }
  }
  const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(level.listing->bytes);
  for (;;) {
    if (NoticeStop(level.source.path, u"CopyOneDirectory:Interrupted(SOURCE-DIR)")) {
      return Next::kUnfinished;
    }
    const BOOLEAN restart_scan = level.restart_scan;
    level.restart_scan = 0;
    const NTSTATUS status = State.NtQueryDirectoryFile(
        level.source_handle, nullptr, nullptr, nullptr, &level.io_status, level.listing->bytes,
        kListingBufferBytes, FileDirectoryInformation, 1, nullptr, restart_scan);
    if (IsListingEnd(status, restart_scan)) return Next::kEnd;
    if (status < 0) {
      ReportNtStatus(level.source.path, u"NtQueryDirectoryFile()", status);
      return Next::kUnfinished;
    }
    name->assign(record->FileName, record->FileNameLength / sizeof(char16_t));
    if (IsDotOrDotDot(*name)) continue;
    if (ComparesNames()) {
      std::u16string compared;
      if (!FoldName(*name, level.names_ignore_case, &compared) && !level.names_unsure) {
        ReportWin32Error(level.source.path, u"CopyOneDirectory:LCMapStringEx(SOURCE-DIR)",
                         Os().GetLastError());
        level.names_unsure = true;
      }
      if (compared != *name) level.source_spellings.emplace(compared, *name);
      level.source_names.insert(std::move(compared));
    }
    if (!Registries.Excludes.empty() && IsExcludedEntry(walk, *name)) {
      if (JsonLogOpen()) {
        NoteExcluded(JoinPath(level.source.path, *name),
                     (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
      }
      continue;
    }
    *attributes = record->FileAttributes;
    const bool is_directory = (*attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (is_directory && !Settings.SubDirectories && !IsNode(*attributes)) {
      continue;
    }
    *size = static_cast<uint64_t>(record->EndOfFile);
    return Next::kEntry;
  }
}

}  // namespace

// The walk: a loop over a stack of levels. Each entry's result is judged in
// its directory as it comes: a failed one ends every directory on the way
// up under /StopAtFirstError or a stop request, each marked unfinished.
int CopyOneDirectory(const std::u16string& source_root) {
  Walk walk;
  // Workers copy files where /Threads: asks for more than one, unless a
  // failed file must end the walk (/StopAtFirstError): the walk then waits
  // for each file's result before it goes on, so it copies them itself.
  // /List decides each file where it writes its FILE line, so that the
  // line can end with the decision.
  Workers workers;
  if (Settings.Threads > 1 && !Settings.StopAtFirstError && !Settings.List &&
      State.CopyBuffers.size() == static_cast<size_t>(Settings.Threads) &&
      workers.Start(State.CopyBuffers)) {
    walk.workers = &workers;
  }
  walk.source_path = source_root;
  walk.destination_path = Settings.Destination;
  walk.source_root_length = walk.source_path.size();
  walk.destination_root_length = walk.destination_path.size();
  std::vector<std::unique_ptr<Level>> levels;
  int result = Enter(walk, RootPlace(walk.source_path), RootPlace(walk.destination_path), &levels);
  if (result != kEntered) return result;
  bool judge_result = false;  // whether `result` is an entry's, for the top level
  std::u16string name;
  while (!levels.empty()) {
    Level& level = *levels.back();
    walk.source_path.resize(level.source_length);
    walk.destination_path.resize(level.destination_length);
    Next next = Next::kEntry;
    if (judge_result && result == 0 && (Settings.StopAtFirstError || StopRequested())) {
      next = Next::kUnfinished;
    }
    judge_result = false;
    DWORD attributes = 0;
    uint64_t size = 0;
    if (next == Next::kEntry) next = NextEntry(walk, level, &name, &attributes, &size);
    if (next != Next::kEntry) {
      if (next == Next::kEnd && levels.size() == 1) NoteAllMet();
      result = Leave(walk, level, next == Next::kEnd);
      levels.pop_back();
      judge_result = true;
      continue;
    }
    AppendName(&walk.source_path, name);
    AppendName(&walk.destination_path, name);
    Place source = EntryPlace(level.source_handle, walk.source_path, name.size());
    source.through_link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !State.KeepLinks;
    const Place destination = EntryPlace(level.destination_handle, walk.destination_path,
                                         name.size(), level.created, &level.written);
    if (IsNotLocal(attributes) && !IsNode(attributes)) {
      result = SkipNotLocal(walk.source_path, attributes, size);
      judge_result = true;
      continue;
    }
    result = IsNode(attributes) ? CopyOneNode(source, destination) : kNotANode;
    if (result != kNotANode) SettleFile(result);
    if (result == kNotANode && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      State.AtTopLevel = 0;
      result = Enter(walk, source, destination, &levels);
      if (result == kEntered) continue;
    } else if (result == kNotANode) {
      MetFile met = AnnounceFile(walk.source_path, size);
      if (walk.workers == nullptr) {
        result = CopyFileTrying(source, destination);
      } else {
        walk.workers->Copy(FileJob{walk.source_path, walk.destination_path, name.size(),
                                   level.source_handle, level.destination_handle, level.created,
                                   &level.written, &level.files, source.through_link,
                                   std::move(met)});
        result = 1;
      }
    }
    judge_result = true;
  }
  return result;
}

}  // namespace vx
