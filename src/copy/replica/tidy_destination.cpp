// Tidying a destination directory once its entries are copied: leftovers of
// killed runs and, with /Mirror, what the source no longer has.
#include "tidy_destination.h"

#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "../../report/report.h"
#include "../run_settings.h"
#include "../walk/stop.h"
#include "../access.h"
#include "../directory.h"
#include "../walk/exclude.h"
#include "../identity.h"
#include "../listing.h"
#include "../place.h"
#include "../registries.h"
#include "durability.h"
#include "history.h"
#include "remove.h"
#include "rules.h"
#include "temporary_name.h"

namespace vx {

namespace {

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
bool Respell(const Directory& directory, const std::u16string& name, const std::u16string& source_name) {
  std::u16string path;
  JoinPath(directory.destination.path, name, &path);
  HANDLE object = Os().CreateFileAtW(
      directory.destination_handle, name.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                         FILE_FLAG_OPEN_NODE);
  const BOOL renamed =
      object != INVALID_HANDLE_VALUE &&
      Os().MoveFileAtW(object, directory.destination_handle, name.c_str(), source_name.c_str(), 1);
  const DWORD code = Os().GetLastError();
  if (object != INVALID_HANDLE_VALUE) Os().CloseHandle(object);
  if (!renamed) ReportWin32Error(path, u"CopyOneDirectory:MoveFile(DESTINATION)", code);
  return renamed != 0;
}

// The source's own spelling of the name that compares as `compared`.
const std::u16string& SpellingOf(const Directory& directory, const std::u16string& compared) {
  const auto spelled = directory.source_spellings.find(compared);
  return spelled != directory.source_spellings.end() ? spelled->second : compared;
}

// Whether `name` is, to the letter, the name of one of the source
// directory's entries.
bool IsSourceName(const Directory& directory, std::u16string_view name) {
  // Names compared as they are need no copy to be looked up.
  if (!directory.names_ignore_case) return directory.source_names.count(name) != 0;
  std::u16string compared;
  return FoldName(name, directory.names_ignore_case, &compared) &&
         directory.source_names.count(compared) != 0 && SpellingOf(directory, compared) == name;
}

// Whether the destination directory lists `name` to the letter: asked only
// before a rename in place, which is for one entry under two spellings, not
// for two entries (hard links) under two names.
bool IsListed(const Directory& directory, const std::u16string& name) {
  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  if (!listing) return true;
  const auto* record = reinterpret_cast<const FILE_NAMES_INFORMATION*>(listing->bytes);
  for (BOOLEAN restart_scan = 1;;) {
    NTSTATUS failure = 0;
    const Record read = NextRecord(directory.destination_handle, listing.get(), &restart_scan,
                                   &failure, FileNamesInformation);
    if (read != Record::kRead) return read == Record::kFailed;  // unsure: listed
    if (std::u16string_view(record->FileName, record->FileNameLength / sizeof(char16_t)) == name) {
      return true;
    }
  }
}

// The source entry whose copy is the object `identity`, found under a name
// that compares unlike every source name (a destination that ignores case
// where names compare byte for byte): the source name that leads there.
// Empty where none does.
std::u16string SourceNameOf(const Directory& directory, const FileIdentity& identity) {
  for (const std::u16string& compared : directory.source_names) {
    const std::u16string& name = SpellingOf(directory, compared);
    if (SameObject(IdentityAt(directory.destination_handle, name), identity)) return name;
  }
  return {};
}

// The source's spelling that the destination directory itself takes for
// the entry it lists as `name`: a spelling that differs from it in case
// only, that the directory does not list, yet opens. The volume is asked,
// since one that gives each spelling an inode of its own (exfat-fuse, some
// FUSE and SMB servers) makes identities say "another file". Empty where
// no source spelling leads there. `by_fold` is filled on first use.
std::u16string SpellingTheVolumeResolves(
    const Directory& directory, const std::u16string& name,
    std::unordered_multimap<std::u16string, std::u16string>* by_fold) {
  if (by_fold->empty()) {
    for (const std::u16string& compared : directory.source_names) {
      const std::u16string& spelled = SpellingOf(directory, compared);
      by_fold->emplace(AsciiFolded(spelled), spelled);
    }
  }
  const auto [first, last] = by_fold->equal_range(AsciiFolded(name));
  for (auto it = first; it != last; ++it) {
    if (it->second != name && IdentityAt(directory.destination_handle, it->second).known &&
        !IsListed(directory, it->second)) {
      return it->second;
    }
  }
  return {};
}

}  // namespace

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
bool TidyDestination(const Directory& directory, size_t destination_root_length,
                     bool (*waits_for_name)(std::u16string_view)) {
  // Without /Mirror the listing looks for leftovers only, and there are
  // none to find where every earlier run ended: a rerun then lists no
  // destination directory.
  if (!ComparesNames() && !MayHoldLeftovers()) return true;
  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  if (!listing) return true;
  const auto* record = reinterpret_cast<const FILE_NAMES_INFORMATION*>(listing->bytes);
  std::vector<std::u16string> leftovers;
  std::vector<std::u16string> others;  // with /Mirror, names not the source's own
  bool listed_whole = false;
  for (BOOLEAN restart_scan = 1;;) {
    NTSTATUS failure = 0;
    const Record read = NextRecord(directory.destination_handle, listing.get(), &restart_scan,
                                   &failure, FileNamesInformation);
    if (read != Record::kRead) {
      listed_whole = read == Record::kEnd;
      // What /Mirror would remove stays: said once, for the directory.
      if (!listed_whole && ComparesNames()) {
        ReportNtStatus(directory.destination.path, u"NtQueryDirectoryFile()", failure);
      }
      break;
    }
    std::u16string_view name(record->FileName, record->FileNameLength / sizeof(char16_t));
    if (IsTemporaryName(name)) {
      // A replacement waiting for its name is no leftover.
      if (!waits_for_name(name)) leftovers.emplace_back(name);
    } else if (ComparesNames() && !IsDotOrDotDot(name) && !IsSourceName(directory, name)) {
      others.emplace_back(name);
    }
  }
  std::u16string path;
  // A run with /Files: shares its directories with the runs of the other
  // lists, whose files in the making carry such names: it leaves them.
  const bool tidies = !WritesNothing() && !Registries.Files.active;
  for (const std::u16string& name : tidies ? leftovers : std::vector<std::u16string>()) {
    JoinPath(directory.source.path, name, &path);
    HANDLE namesake = OpenSource(EntryPlace(directory.source_handle, path, name.size()));
    if (namesake != INVALID_HANDLE_VALUE) {
      Os().CloseHandle(namesake);
      continue;
    }
    if (!IsRunsOwn(directory.destination_handle, name)) continue;
    if (!Os().DeleteFileAtW(directory.destination_handle, name.c_str())) {
      const DWORD code = Os().GetLastError();
      JoinPath(directory.destination.path, name, &path);
      ReportWin32Error(path, u"CopyOneDirectory:DeleteFile(DESTINATION)", code);
    }
  }
  RemovalFacts facts;
  facts.mirror = Settings.Mirror;
  facts.verify = Settings.Verify;
  facts.keeps_all = directory.keep_all;
  facts.listed_whole = listed_whole;
  facts.names_unsure = directory.names_unsure;
  facts.stop_requested = StopRequested();
  if (others.empty() || MayRemove(facts) == Removal::kKeep) return true;
  std::vector<std::u16string> gone;  // from the source
  std::u16string compared;
  std::unordered_multimap<std::u16string, std::u16string> by_fold;
  for (const std::u16string& name : others) {
    if (!FoldName(name, directory.names_ignore_case, &compared)) {
      JoinPath(directory.destination.path, name, &path);
      ReportWin32Error(path, u"CopyOneDirectory:LCMapStringEx(DESTINATION)", Os().GetLastError());
      continue;  // it stays
    }
    const bool namesake = directory.source_names.count(compared) != 0;
    // Another spelling of a source entry's name, or no source entry's: the
    // object itself decides.
    const FileIdentity identity = IdentityAt(directory.destination_handle, name);
    // The history folder, or a folder that holds it: neither removed nor a
    // difference.
    if (HoldsHistory(identity)) continue;
    if (directory.written.Matched(identity)) {
      const std::u16string source_name = namesake ? SpellingOf(directory, compared)
                                                  : SourceNameOf(directory, identity);
      // Listed under the source's name too, it is a second name (a hard
      // link) of what the source has: that name may go, the object stays.
      const bool second_name = !source_name.empty() && IsListed(directory, source_name);
      if (!second_name) {
        if (!source_name.empty() && !WritesNothing()) Respell(directory, name, source_name);
        continue;
      }
    }
    if (namesake) continue;
    const std::u16string resolved = SpellingTheVolumeResolves(directory, name, &by_fold);
    if (!resolved.empty()) {
      if (!WritesNothing()) Respell(directory, name, resolved);
      continue;
    }
    const std::u16string relative =
        EntryBelowRoot(directory.destination.path, destination_root_length, name);
    facts.excluded = IsExcluded(Registries.Excludes, relative, name, true);
    if (MayRemove(facts) != Removal::kKeep) gone.push_back(name);
  }
  if (gone.empty()) return true;
  facts.excluded = false;
  facts.source_root_empty = directory.destination.parent == nullptr && directory.source_names.empty();
  switch (MayRemove(facts)) {
    case Removal::kKeep:
      return true;
    case Removal::kDifference:
      for (const std::u16string& name : gone) {
        ReportDifference(JoinPath(directory.destination.path, name), u"only at the destination");
      }
      return true;
    case Removal::kEmptySource:
      ReportWin32Error(directory.source.path, u"CopyOneDirectory:MirrorEmptySource(SOURCE-DIR)",
                       ERROR_NO_MORE_FILES);
      return false;
    case Removal::kRemove:
      break;
  }
  for (const std::u16string& name : gone) {
    facts.stop_requested = StopRequested();
    if (MayRemove(facts) != Removal::kRemove) return true;
    JoinPath(directory.destination.path, name, &path);
    RemoveEntry(directory.destination_handle, name.c_str(), path);
  }
  return true;
}

}  // namespace vx
