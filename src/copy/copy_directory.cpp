#include "copy_directory.h"

#include <algorithm>
#include <unordered_set>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../report/json_log.h"
#include "../report/progress.h"
#include "../report/report.h"
#include "../report/sink.h"
#include "run_settings.h"
#include "walk/stop.h"
#include "access.h"
#include "walk/exclude.h"
#include "file/copy_file.h"
#include "file/file_tries.h"
#include "identity.h"
#include "place.h"
#include "registries.h"
#include "replica/as_of.h"
#include "replica/history.h"
#include "replica/write_gate.h"
#include "walk/counting_walk.h"
#include "walk/file_list.h"
#include "walk/walk_levels.h"
#include "walk/workers.h"

namespace vx {

using namespace std::string_view_literals;

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

void AppendName(std::u16string* path, std::u16string_view name) {
  if (path->empty() || path->back() != kPathSeparator) path->push_back(kPathSeparator);
  path->append(name);
}

enum class Next { kEntry, kEnd, kUnfinished };

namespace {

// Whether a listed entry is copied as a node (CopyOneNode): a link where
// links are kept, a FIFO, socket or device with /Specials (compared as one
// by /Verify, which never opens it for data).
bool IsNode(DWORD attributes) {
  return ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && State.KeepLinks) ||
         ((attributes & FILE_ATTRIBUTE_DEVICE) && (Settings.Specials || Settings.Verify));
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
// links are kept), as `*entry`; kEnd after the last;
// kUnfinished after a stop or a failed listing, reported.
Next NextEntry(Walk& walk, Level& level, ListedEntry* entry) {
  std::u16string* name = &entry->name;
  for (;;) {
    // A view of known length: asked for every entry.
    if (NoticeStop(level.source.path, u"CopyOneDirectory:Interrupted(SOURCE-DIR)"sv)) {
      return Next::kUnfinished;
    }
    NTSTATUS failure = 0;
    const Listed listed = NextListed(level, &walk.pace, entry, &failure);
    if (listed == Listed::kEnd) return Next::kEnd;
    if (listed == Listed::kFailed) {
      ReportNtStatus(level.source.path, u"NtQueryDirectoryFile()", failure);
      return Next::kUnfinished;
    }
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
    // With /Files:, what the list does not lead to is left as if absent.
    const bool by_path =
        Registries.Files.active || !Registries.Excludes.empty() || !Registries.Skipped.empty();
    const std::u16string relative =
        by_path ? EntryBelowRoot(walk.source_path, walk.source_root_length, *name) : u"";
    const ListSays says =
        Registries.Files.active ? AskList(&Registries.Files, relative) : ListSays::kListed;
    if (!Registries.Skipped.empty() && Registries.Skipped.count(relative) != 0) continue;
    if (!Registries.Excludes.empty() && IsExcluded(Registries.Excludes, relative, *name)) {
      if (JsonLogOpen()) {
        NoteExcluded(JoinPath(level.source.path, *name),
                     (entry->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
      }
      continue;
    }
    const DWORD attributes = entry->attributes;
    const bool is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (says == ListSays::kLeave || (says == ListSays::kPassOn && !is_directory)) continue;
    // A directory the list names or leads through is entered without
    // /SubDirectories too.
    if (is_directory && !Settings.SubDirectories && !IsNode(attributes) &&
        !(Registries.Files.active && says != ListSays::kBelowListed)) {
      continue;
    }
    return Next::kEntry;
  }
}

// With workers, the walk goes on as soon as it has listed a directory:
// the directory's last steps (removals, security, times, closing) are run
// by whoever ends its last file or subdirectory. Waits while too many
// directories are left open behind the walk.
void LeaveBehind(Walk& walk, std::unique_ptr<Level> level, bool finished) {
  Level* left = level.release();
  left->listing.reset();
  left->KeepOwnPaths();
  walk.workers->LeaveBehind(&left->files, [&walk, left, finished] {
    Leave(walk, *left, finished);
    FilesOf* parent = left->parent_files;
    delete left;
    return parent;
  });
  walk.workers->WaitForRoom(kDirectoriesBehind);
}

// Before a directory's last steps, its parent, parked on the way down, is
// opened again: the steps may need it, and the walk goes on there.
void ReturnToParent(Walk& walk, std::vector<std::unique_ptr<Level>>& levels) {
  if (levels.size() < 2) return;
  Level& parent = *levels[levels.size() - 2];
  if (!parent.parked) return;
  walk.park_from = std::min(walk.park_from, levels.size() - 2);
  if (Unpark(parent, *levels.back())) ++walk.open_levels;
}

// Ends the level on top, its listing done (kEnd) or cut short: with
// workers, below the root, its last steps are left to whoever ends its
// last file; else they are run here. Returns its result.
int EndLevel(Walk& walk, std::vector<std::unique_ptr<Level>>& levels, Next next) {
  Level& level = *levels.back();
  walk.path.pop_back();
  ReturnToParent(walk, levels);
  int result;
  if (level.parked) {
    // Its last steps are lost with its handles: it stays as the walk left
    // it, and the next run finishes it.
    if (walk.workers != nullptr) {
      walk.workers->WaitFor(&level.files);
      walk.workers->LeaveBehind(&level.files, [parent = level.parent_files] { return parent; });
    }
    result = 0;
  } else if (walk.workers != nullptr && levels.size() > 1) {
    --walk.open_levels;
    LeaveBehind(walk, std::move(levels.back()), next == Next::kEnd);
    result = 1;
  } else {
    // The root's files and subdirectories are done (or failed) before its
    // leftovers and removals are judged, its times set and its handles
    // closed.
    if (walk.workers != nullptr) walk.workers->WaitFor(&level.files);
    --walk.open_levels;
    result = Leave(walk, level, next == Next::kEnd);
  }
  levels.pop_back();
  return result;
}

// Copies the entry the walk's paths name now: a node, a file (here, or
// handed to a worker), or a directory, entered (kEntered) with its level
// pushed. Otherwise the entry's result.
int CopyEntry(Walk& walk, std::vector<std::unique_ptr<Level>>& levels, ListedEntry& entry) {
  Level& level = *levels.back();
  const std::u16string& name = entry.name;
  const DWORD attributes = entry.attributes;
  Place source = EntryPlace(level.source_handle, walk.source_path, name.size());
  source.through_link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !State.KeepLinks;
  Place destination = EntryPlace(level.destination_handle, walk.destination_path, name.size(),
                                 level.private_to_run, &level.written);
  destination.keeps_all = level.keep_all;
  if (IsNotLocal(attributes) && !IsNode(attributes)) {
    return SkipNotLocal(walk.source_path, attributes, entry.size);
  }
  if (IsNode(attributes)) {
    const int result = CopyOneNode(source, destination);
    if (result != kNotANode) {
      SettleFile(result);
      return result;
    }
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    State.AtTopLevel = 0;
    walk.entering_ahead = std::move(entry.ahead);
    const int result = Enter(walk, source, destination, &levels);
    if (result != kEntered) {
      walk.entering_ahead.reset();
      return result;
    }
    if (walk.workers != nullptr) {
      walk.workers->Hold(&level.files);
      levels.back()->parent_files = &level.files;
    }
    if (ReadsAhead(walk)) StartReadingAhead(walk, *levels.back());
    ParkOldest(walk, levels);
    return kEntered;
  }
  MetFile met = AnnounceFile(walk.source_path, entry.size);
  if (walk.workers == nullptr) return CopyFileTrying(source, destination);
  if (walk.workers->CopiesHere()) {
    const int result = CopyFileTrying(source, destination);
    walk.workers->CopiedHere();
    return result;
  }
  walk.workers->Copy(FileJob{walk.source_path, walk.destination_path, name.size(),
                             level.source_handle, level.destination_handle, level.private_to_run,
                             &level.written, &level.files, source.through_link, level.keep_all,
                             std::move(met), {}});
  return 1;
}

// Workers copy files where /Threads: asks for more than one, unless a
// failed file must end the walk (/StopAtFirstError): the walk then waits
// for each file's result before it goes on, so it copies them itself.
// /List decides each file where it writes its FILE line, so that the line
// can end with the decision.
void StartWorkers(Walk& walk, Workers& workers) {
  if (Settings.Threads > 1 && !Settings.StopAtFirstError && !Settings.List &&
      State.CopyBuffers.size() == static_cast<size_t>(Settings.Threads) &&
      workers.Start(State.CopyBuffers)) {
    walk.workers = &workers;
  }
}

}  // namespace

// The walk: a loop over a stack of levels. Each entry's result is judged in
// its directory as it comes: a failed one ends every directory on the way
// up under /StopAtFirstError or a stop request, each marked unfinished.
int CopyOneDirectory(const std::u16string& source_root) {
  Walk walk;
  // Before the workers, so that they are gone when it goes.
  WriteGate gate;
  Workers workers;
  CountingWalk counting;
  counting.StartIfShown(source_root);
  StartWorkers(walk, workers);
  walk.source_path = source_root;
  walk.destination_path = Settings.Destination;
  walk.source_root_length = walk.source_path.size();
  walk.destination_root_length = walk.destination_path.size();
  std::vector<std::unique_ptr<Level>> levels;
  int result = Enter(walk, RootPlace(walk.source_path), RootPlace(walk.destination_path), &levels);
  if (result != kEntered) return result;
  if (ReadsAhead(walk)) StartReadingAhead(walk, *levels.back());
  bool judge_result = false;  // whether `result` is an entry's, for the top level
  bool listed_whole = false;  // the root's listing came to its end
  ListedEntry entry;
  while (!levels.empty()) {
    Level& level = *levels.back();
    walk.source_path.resize(level.source_length);
    walk.destination_path.resize(level.destination_length);
    Next next = Next::kEntry;
    if (judge_result && result == 0 && (Settings.StopAtFirstError || StopRequested())) {
      next = Next::kUnfinished;
    }
    // Still parked here: it could not be opened again (reported).
    if (level.parked) next = Next::kUnfinished;
    if (next == Next::kEntry) next = NextEntry(walk, level, &entry);
    // Once the walk's listing shows slow, every level it is at reads ahead.
    if (ReadsAhead(walk) && !level.parked) ReadSubdirectoriesAhead(walk, level);
    if (next != Next::kEntry) {
      if (next == Next::kEnd && levels.size() == 1) {
        NoteAllMet();
        listed_whole = true;
      }
      result = EndLevel(walk, levels, next);
      judge_result = true;
      continue;
    }
    AppendName(&walk.source_path, entry.name);
    AppendName(&walk.destination_path, entry.name);
    result = CopyEntry(walk, levels, entry);
    judge_result = result != kEntered;
  }
  // A listed entry the whole walk never met is not at the source (or not
  // below a directory on its way): one error each, never a silent gap.
  if (listed_whole && Registries.Files.active) {
    for (const std::u16string& missing : Unmet(Registries.Files)) {
      ReportWin32Error(JoinPath(source_root, missing), u"CopyOneDirectory:FileList(SOURCE)",
                       ERROR_FILE_NOT_FOUND);
      result = 0;
    }
  }
  return result;
}

// The plan is the real run's own decisions: /List's walk, which decides
// each entry as the run would, with its lines kept from every sink. What
// the walk notes on its way (the list's met entries, hard-link groups, the
// removals /MaxDelete: still allows) is set back for the run that follows.
RunCounters PlanChanges(const std::u16string& source_root) {
  const RunCounters before = Counters;
  Counters = RunCounters{};
  const int32_t list = Settings.List;
  const int32_t at_top = State.AtTopLevel;
  Settings.List = 1;
  {
    // Heard again however the walk ends (memory running out included).
    struct Muted {
      Muted() { MuteSinks(true); }
      ~Muted() { MuteSinks(false); }
    } muted;
    CopyOneDirectory(source_root);
  }
  Settings.List = list;
  State.AtTopLevel = at_top;
  State.RemovalsLeft = Settings.MaxDelete;
  State.RemovalLimitReported = false;
  Registries.Files.met.clear();
  Registries.HardLinkCopies.Clear();
  ResetHistory();  // looked at only; the run opens it to write
  const RunCounters plan = Counters;
  Counters = before;
  return plan;
}

namespace {

// The directories whose times a later run changed get them back, as the
// first such run found them; one the time did not have yet is not there.
bool RestoreDirectoryTimes(const std::vector<ManifestEntry>& directories) {
  bool done = true;
  for (const ManifestEntry& entry : directories) {
    const std::u16string path =
        entry.path.empty() ? std::u16string(Settings.Destination)
                           : JoinPath(Settings.Destination, entry.path);
    HANDLE directory = OpenRootPath(path, FILE_WRITE_ATTRIBUTES, FILE_FLAG_DIRECTORY_ONLY);
    if (directory == INVALID_HANDLE_VALUE) continue;
    if (!Os().SetFileTime(directory, &entry.times[0], &entry.times[1], &entry.times[2])) {
      ReportWin32Error(path, u"AsOf:SetFileTime(DESTINATION-DIR)", Os().GetLastError());
      done = false;
    }
    Os().CloseHandle(directory);
  }
  return done;
}

// The list of one run folder's taken paths, as /Files: would give it (the
// manifest's paths are all below the root).
FileList ListOf(const std::vector<std::u16string>& paths) {
  FileList list;
  list.active = true;
  for (const std::u16string& path : paths) AddListed(&list, path);
  return list;
}

}  // namespace

// Each run folder that keeps versions of the time gives them, oldest run
// first, its walk leaving what other runs give or what came later; then
// the replica gives the rest, and the directories their times last. Every
// path is written by one walk only; directories met on the way are taken
// as they are, and get their times from the walk that owns them, which
// comes later.
int RestoreAsOf(const AsOfPlan& plan) {
  const int32_t only_newer = Settings.OnlyNewer;
  std::unordered_set<std::u16string> decided(plan.left_out.begin(), plan.left_out.end());
  decided.insert(plan.taken_paths.begin(), plan.taken_paths.end());
  int result = 1;
  bool first = true;
  auto walk = [&](const std::u16string& root) {
    State.AtTopLevel = 1;
    if (!first && !Settings.Overwrite) Settings.OnlyNewer = 1;
    first = false;
    if (CopyOneDirectory(root) != 1) result = 0;
  };
  for (const AsOfPlan::Taken& taken : plan.taken) {
    Registries.Files = ListOf(taken.paths);
    Registries.Skipped = decided;
    for (const std::u16string& path : taken.paths) Registries.Skipped.erase(path);
    walk(JoinPath(Settings.History, taken.folder));
  }
  Registries.Files = FileList{};
  Registries.Skipped = std::move(decided);
  walk(Settings.Source);
  Registries.Skipped.clear();
  Settings.OnlyNewer = only_newer;
  if (!WritesNothing() && !RestoreDirectoryTimes(plan.directory_times)) result = 0;
  return result;
}

}  // namespace vx
