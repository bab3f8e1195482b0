#include "remove.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "../../report/report.h"
#include "../run_settings.h"
#include "../access.h"
#include "../walk/exclude.h"
#include "../identity.h"
#include "../listing.h"
#include "../place.h"
#include "../registries.h"
#include "decide.h"
#include "history.h"
#include "rules.h"

namespace vx {

namespace {

// A directory being emptied: its handle, its own name and path, and what
// it was before (its times, for the history's counterpart).
struct Emptying {
  HANDLE handle;
  std::u16string name;
  std::u16string path;
  BY_HANDLE_FILE_INFORMATION info;
  BOOLEAN restart_scan = 1;
  bool failed = false;  // something in it stayed: it stays too
};

// How a tree is emptied: as the replica's removals are (excludes, what
// holds the run's inputs, /MaxDelete:, and with /History: moved there), or
// whole (a history's own run folder, pruned).
enum class Emptied { kAsRemovals, kWhole };

// Whether the directory open as `directory` (whose information is `info`)
// holds the source root, the Log or the ErrorLog at any depth, or is one:
// it stays, and so does the path down to it.
bool IsProtected(HANDLE directory, const BY_HANDLE_FILE_INFORMATION& info) {
  if (Registries.ProtectedDirectories.empty()) return false;
  FileIdentity identity = IdentityOf(info);
  for (const FileIdentity& kept : Registries.ProtectedDirectories) {
    if (!SameObject(identity, kept)) continue;
    CompleteIdentity(directory, &identity);
    if (SameObject(identity, kept)) return true;
  }
  return false;
}

// `path` below the destination root, as /Exclude:'s path patterns see it.
std::u16string_view BelowDestinationRoot(std::u16string_view path) {
  return BelowRoot(path, std::u16string_view(Settings.Destination).size());
}

// Takes one removal of those /MaxDelete: allows; where none is left, the
// entry at `path` stays, and the first one to stay says so in one ERR.
bool TakeRemoval(const std::u16string& path) {
  if (!Settings.MaxDeleteGiven || State.RemovalsLeft.fetch_sub(1) > 0) return true;
  if (!State.RemovalLimitReported.exchange(true)) {
    ReportWin32Error(path, u"CopyOneDirectory:MaxDelete(DESTINATION)", ERROR_CANCELLED);
  }
  return false;
}

// Under /MaxDelete: every entry counts, so every entry removed inside a
// directory has its own DEL line, in the order removed: a limit that cuts
// into a directory leaves a log naming exactly what went. Without a limit
// the directory's one line stands for all it held.
void AnnounceCountedRemoval(const std::u16string& path) {
  if (Settings.MaxDeleteGiven) AnnounceRemoval(path);
}

HANDLE OpenForEmptying(HANDLE parent, const char16_t* name) {
  return Os().CreateFileAtW(
      parent, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll,
      OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_DIRECTORY_ONLY);
}

// Empties and removes the directory `name` in `parent`, depth first, with a
// stack of open directories on the heap rather than recursion, so depth
// costs handles only. What an exclude pattern names, a directory that holds
// the source root or a log, and whatever /MaxDelete: leaves stays, with the
// directories above it, silently but for the limit's one ERR.
bool RemoveTree(HANDLE parent, const char16_t* name, const std::u16string& path,
                Emptied how = Emptied::kAsRemovals) {
  const bool as_removals = how == Emptied::kAsRemovals;
  const bool keeps = as_removals && KeepsHistory();
  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  HANDLE top = listing ? OpenForEmptying(parent, name) : INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION top_info;
  if (top == INVALID_HANDLE_VALUE || !Os().GetFileInformationByHandle(top, &top_info)) {
    const DWORD code = listing ? Os().GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    if (top != INVALID_HANDLE_VALUE) Os().CloseHandle(top);
    ReportWin32Error(path, u"CopyOneDirectory:CreateFile(DESTINATION-DIR)", code);
    return false;
  }
  std::vector<Emptying> stack;
  stack.push_back(Emptying{top, name, path, top_info});
  const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(listing->bytes);
  std::u16string child_path;
  while (!stack.empty()) {
    Emptying& level = stack.back();
    NTSTATUS failure = 0;
    const Record read = NextRecord(level.handle, listing.get(), &level.restart_scan, &failure);
    if (read != Record::kRead) {
      if (read == Record::kFailed) {
        ReportNtStatus(level.path, u"NtQueryDirectoryFile()", failure);
        level.failed = true;
      }
      const Emptying done = std::move(level);
      stack.pop_back();
      bool may_remove = !done.failed && (!as_removals || TakeRemoval(done.path));
      // Kept with its security, read while it is still open.
      if (may_remove && keeps) {
        may_remove = KeepRemovedDirectory(done.path, done.info, done.handle);
      }
      Os().CloseHandle(done.handle);
      HANDLE holder = stack.empty() ? parent : stack.back().handle;
      bool removed = false;
      if (may_remove) {
        removed = Os().RemoveDirectoryAtW(holder, done.name.c_str()) != 0;
        if (!removed) {
          ReportWin32Error(done.path, u"CopyOneDirectory:RemoveDirectory(DESTINATION-DIR)",
                           Os().GetLastError());
        }
      }
      if (stack.empty()) return removed;
      if (!removed) stack.back().failed = true;
      if (removed && as_removals) AnnounceCountedRemoval(done.path);
      continue;
    }
    const std::u16string child(record->FileName, record->FileNameLength / sizeof(char16_t));
    if (child == u"." || child == u"..") continue;
    JoinPath(level.path, child, &child_path);
    if (as_removals && !Registries.Excludes.empty() &&
        IsExcluded(Registries.Excludes, BelowDestinationRoot(child_path), child, true)) {
      level.failed = true;
      continue;
    }
    const bool is_link = (record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !is_link) {
      HANDLE opened = OpenForEmptying(level.handle, child.c_str());
      BY_HANDLE_FILE_INFORMATION info;
      if (opened == INVALID_HANDLE_VALUE || !Os().GetFileInformationByHandle(opened, &info)) {
        const DWORD code = Os().GetLastError();
        if (opened != INVALID_HANDLE_VALUE) Os().CloseHandle(opened);
        ReportWin32Error(child_path, u"CopyOneDirectory:CreateFile(DESTINATION-DIR)", code);
        level.failed = true;
        continue;
      }
      if (as_removals && IsProtected(opened, info)) {
        Os().CloseHandle(opened);
        level.failed = true;
        continue;
      }
      stack.push_back(Emptying{opened, child, child_path, info});
      continue;
    }
    if (as_removals && !TakeRemoval(child_path)) {
      level.failed = true;
      continue;
    }
    if (keeps) {
      if (KeepRemoved(level.handle, child.c_str(), child_path)) {
        AnnounceCountedRemoval(child_path);
      } else {
        level.failed = true;
      }
    } else if (!Os().DeleteFileAtW(level.handle, child.c_str())) {
      ReportWin32Error(child_path, u"CopyOneDirectory:DeleteFile(DESTINATION)",
                       Os().GetLastError());
      level.failed = true;
    } else if (as_removals) {
      AnnounceCountedRemoval(child_path);
    }
  }
  return false;
}

}  // namespace

bool RemoveWholeTree(HANDLE parent, const char16_t* name, const std::u16string& path) {
  return RemoveTree(parent, name, path, Emptied::kWhole);
}

bool MayReplaceKind(const Place& destination) {
  RemovalFacts facts;
  facts.mirror = Settings.Mirror;
  facts.keeps_all = destination.keeps_all;
  return destination.parent != nullptr && MayRemove(facts) == Removal::kRemove;
}

bool RemoveEntry(HANDLE parent, const char16_t* name, const std::u16string& path) {
  HANDLE object = Os().CreateFileAtW(parent, name, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NODE);
  BY_HANDLE_FILE_INFORMATION info;
  if (object == INVALID_HANDLE_VALUE || !Os().GetFileInformationByHandle(object, &info)) {
    const DWORD code = Os().GetLastError();
    if (object != INVALID_HANDLE_VALUE) Os().CloseHandle(object);
    ReportWin32Error(path, u"CopyOneDirectory:CreateFile(DESTINATION)", code);
    return false;
  }
  FileIdentity identity = IdentityOf(info);
  const bool is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  const bool kept = IsRunOutput(object, &identity) || (is_directory && IsProtected(object, info));
  Os().CloseHandle(object);
  if (kept) return true;
  // /List removes nothing, and counts a directory as one removal.
  if (WritesNothing() && !TakeRemoval(path)) return false;
  if (!WritesNothing()) {
    if (is_directory) {
      if (!RemoveTree(parent, name, path)) return false;
    } else if (!TakeRemoval(path)) {
      return false;
    } else if (KeepsHistory()) {
      if (!KeepRemoved(parent, name, path)) return false;
    } else if (!Os().DeleteFileAtW(parent, name)) {
      ReportWin32Error(path, u"CopyOneDirectory:DeleteFile(DESTINATION)", Os().GetLastError());
      return false;
    }
  }
  AnnounceRemoval(path);
  return true;
}

}  // namespace vx
