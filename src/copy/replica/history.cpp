#include "history.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../../report/json_log.h"
#include "../../report/report.h"
#include "../../report/sink.h"
#include "../../report/text.h"
#include "../run_settings.h"
#include "../access.h"
#include "../walk/exclude.h"
#include "../identity.h"
#include "../listing.h"
#include "../registries.h"
#include "../walk/stop.h"
#include "history_copy.h"
#include "history_days.h"
#include "remove.h"

namespace vx {

namespace {

struct History {
  std::mutex mutex;
  HANDLE root = INVALID_HANDLE_VALUE;
  FileIdentity identity;
  std::vector<FileIdentity> holders;  // the folder and every folder above it
  std::u16string run_name;            // chosen when first needed
  HANDLE run_folder = INVALID_HANDLE_VALUE;
  // The folder of the run's folder last kept into, by its path below it.
  std::u16string last_relative;
  HANDLE last_folder = INVALID_HANDLE_VALUE;
  Sink manifest;
  bool manifest_refused = false;
  bool copies_noted = false;  // the NOTE that versions are copied, once
  uint64_t bytes = 0;  // with /HistoryDays:, after pruning
};

History& TheHistory() {
  static History history;
  return history;
}

void Close(HANDLE* handle) {
  if (*handle != INVALID_HANDLE_VALUE) Os().CloseHandle(*handle);
  *handle = INVALID_HANDLE_VALUE;
}

// `path` below the destination root: where the run folder keeps it.
std::u16string BelowDestination(const std::u16string& path) {
  return std::u16string(BelowRoot(path, std::u16string_view(Settings.Destination).size()));
}

bool Exists(HANDLE directory, const std::u16string& name) {
  HANDLE object = Os().CreateFileAtW(directory, name.c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                     OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NODE);
  if (object == INVALID_HANDLE_VALUE) return !IsNotFound(Os().GetLastError());
  Os().CloseHandle(object);
  return true;
}

// The run's folder's name: the run's start, with -2, -3 ... where a folder
// or a manifest of that name is there already.
const std::u16string& RunName(History& history) {
  if (!history.run_name.empty()) return history.run_name;
  const std::u16string base = RunFolderName(FileTimeTicks(State.StartTime));
  for (int32_t taken = 1;; ++taken) {
    const std::u16string name = taken == 1 ? base : base + u"-" + Decimal(taken);
    if (!Exists(history.root, name) && !Exists(history.root, name + u".json")) {
      history.run_name = name;
      return history.run_name;
    }
  }
}

HANDLE OpenFolder(HANDLE directory, const std::u16string& name) {
  return Os().CreateFileAtW(directory, name.c_str(), DestinationDirectoryAccess(), kShareAll,
                            OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                                FILE_FLAG_DIRECTORY_ONLY);
}

// The folder in the run's folder for the destination folder `relative`
// (empty: the root), made one name at a time where missing. The run's
// folder itself is made on first need. INVALID_HANDLE_VALUE after
// reporting.
HANDLE FolderFor(History& history, const std::u16string& relative, const std::u16string& path) {
  if (history.last_folder != INVALID_HANDLE_VALUE && history.last_relative == relative) {
    return history.last_folder;
  }
  if (history.run_folder == INVALID_HANDLE_VALUE) {
    const std::u16string& name = RunName(history);
    history.run_folder =
        Os().CreateDirectoryAtW(history.root, name.c_str(), DestinationDirectoryAccess());
    if (history.run_folder == INVALID_HANDLE_VALUE ||
        !SecureLike(history.root, history.run_folder)) {
      ReportWin32Error(JoinPath(Settings.History, name), u"History:CreateDirectory(HISTORY-DIR)",
                       Os().GetLastError());
      Close(&history.run_folder);
      return INVALID_HANDLE_VALUE;
    }
  }
  Close(&history.last_folder);
  HANDLE at = history.run_folder;
  std::u16string_view rest(relative);
  while (!rest.empty()) {
    const size_t cut = std::min(rest.find(kPathSeparator), rest.size());
    const std::u16string name(rest.substr(0, cut));
    rest.remove_prefix(std::min(cut + 1, rest.size()));
    HANDLE next = Os().CreateDirectoryAtW(at, name.c_str(), DestinationDirectoryAccess());
    if (next == INVALID_HANDLE_VALUE && Os().GetLastError() == ERROR_ALREADY_EXISTS) {
      next = OpenFolder(at, name);
    }
    const DWORD code = Os().GetLastError();
    if (at != history.run_folder) Os().CloseHandle(at);
    if (next == INVALID_HANDLE_VALUE) {
      ReportWin32Error(path, u"History:CreateDirectory(HISTORY-DIR)", code);
      return INVALID_HANDLE_VALUE;
    }
    at = next;
  }
  if (at == history.run_folder) {
    at = OpenFolder(history.root, RunName(history));
    if (at == INVALID_HANDLE_VALUE) {
      ReportWin32Error(path, u"History:CreateFile(HISTORY-DIR)", Os().GetLastError());
      return INVALID_HANDLE_VALUE;
    }
  }
  history.last_relative = relative;
  history.last_folder = at;
  return at;
}

// The folder in the run's folder that keeps the entry at `path` (as
// FolderFor), with the entry's path below the destination root and its
// last name.
HANDLE FolderForEntry(History& history, const std::u16string& path, std::u16string* relative,
                      std::u16string* name) {
  *relative = BelowDestination(path);
  const size_t cut = relative->find_last_of(kPathSeparator);
  *name = cut == std::u16string::npos ? *relative : relative->substr(cut + 1);
  return FolderFor(history, cut == std::u16string::npos ? u"" : relative->substr(0, cut), path);
}

std::string TimeJson(const FILETIME& time) {
  return JsonString(UtcTimeText(FileTimeTicks(time)));
}

const char* KindOf(const BY_HANDLE_FILE_INFORMATION& info) {
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return "link";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "directory";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return "special";
  return "file";
}

// One line of the run's manifest; the manifest is begun on the first.
void WriteManifest(History& history, const std::string& line) {
  if (!history.manifest.IsOpen()) {
    if (history.manifest_refused || history.root == INVALID_HANDLE_VALUE) return;
    const std::u16string name = RunName(history) + u".json";
    HANDLE file = Os().CreateFileAtW(history.root, name.c_str(), GENERIC_WRITE, 0, CREATE_NEW,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (file == INVALID_HANDLE_VALUE) {
      history.manifest_refused = true;
      ReportWin32Error(JoinPath(Settings.History, name), u"History:CreateFile(MANIFEST)",
                       Os().GetLastError());
      return;
    }
    history.manifest.Attach(file, Sink::Delivery::kBlocks, true);
    history.manifest.WriteBytes("{\"start\":" + TimeJson(State.StartTime) +
                                ",\"run\":" + JsonString(RunName(history)) + "}\n");
  }
  history.manifest.WriteBytes(line);
}

void NoteChange(History& history, const std::u16string& relative, const char* change,
                const BY_HANDLE_FILE_INFORMATION& info) {
  WriteManifest(history, "{\"path\":" + JsonString(relative) + ",\"change\":\"" + change +
                             "\",\"kind\":\"" + KindOf(info) +
                             "\",\"size\":" + std::to_string(SizeOf(info)) +
                             ",\"write\":" + TimeJson(info.ftLastWriteTime) + "}\n");
}

// The entry `name` of `directory` opened to be moved or linked, never
// through a link; INVALID_HANDLE_VALUE after reporting.
HANDLE OpenToKeep(HANDLE directory, const char16_t* name, const std::u16string& path,
                  BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE object = Os().CreateFileAtW(
      directory, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
      OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OPEN_NODE);
  if (object == INVALID_HANDLE_VALUE || !Os().GetFileInformationByHandle(object, info)) {
    ReportWin32Error(path, u"History:CreateFile(DESTINATION)", Os().GetLastError());
    if (object != INVALID_HANDLE_VALUE) Os().CloseHandle(object);
    return INVALID_HANDLE_VALUE;
  }
  return object;
}

// Where versions are copied across volumes, the run says so once.
void NoteCopies(History& history) {
  if (history.copies_noted) return;
  history.copies_noted = true;
  ReportNote(Settings.History, u"on another volume than what the run replaces or removes: "
                               u"each version is copied there, then removed");
}

}  // namespace

bool KeepsHistory() {
  return Settings.History != nullptr && Settings.AsOf == nullptr && !WritesNothing();
}

bool OpenHistory() {
  History& history = TheHistory();
  if (history.root != INVALID_HANDLE_VALUE) return true;
  // A restore reads the history: known, so that a replica that holds it
  // never has it copied, and never written.
  if (Settings.AsOf != nullptr) {
    history.root = OpenRootPath(Settings.History, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_FLAG_DIRECTORY_ONLY);
    BY_HANDLE_FILE_INFORMATION info;
    if (history.root != INVALID_HANDLE_VALUE &&
        Os().GetFileInformationByHandle(history.root, &info)) {
      history.identity = IdentityOnDevice(history.root, info);
    }
    return true;
  }
  const std::u16string path(Settings.History);
  HANDLE destination = OpenRootPath(Settings.Destination, FILE_READ_ATTRIBUTES | READ_CONTROL, 0);
  BY_HANDLE_FILE_INFORMATION destination_info;
  if (destination == INVALID_HANDLE_VALUE ||
      !Os().GetFileInformationByHandle(destination, &destination_info)) {
    ReportWin32Error(Settings.Destination, u"History:CreateFile(DESTINATION-DIR)",
                     Os().GetLastError());
    if (destination != INVALID_HANDLE_VALUE) Os().CloseHandle(destination);
    return false;
  }
  const DWORD access = WritesNothing() ? FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES
                                       : FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL |
                                             WRITE_DAC | WRITE_OWNER | GENERIC_WRITE;
  history.root = OpenRootPath(path, access, FILE_FLAG_DIRECTORY_ONLY);
  bool made = false;
  // A run that writes nothing makes none, and has none to leave alone.
  if (history.root == INVALID_HANDLE_VALUE && IsNotFound(Os().GetLastError()) &&
      WritesNothing()) {
    Os().CloseHandle(destination);
    return true;
  }
  if (history.root == INVALID_HANDLE_VALUE && IsNotFound(Os().GetLastError()) &&
      Os().CreateDirectoryW(path.c_str(), nullptr)) {
    made = true;
    history.root = OpenRootPath(path, access, FILE_FLAG_DIRECTORY_ONLY);
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool opened = history.root != INVALID_HANDLE_VALUE &&
                Os().GetFileInformationByHandle(history.root, &info);
  if (opened && made && !SecureLike(destination, history.root)) opened = false;
  if (!opened) {
    ReportWin32Error(path, u"History:CreateFile(HISTORY-DIR)", Os().GetLastError());
    Os().CloseHandle(destination);
    Close(&history.root);
    return false;
  }
  Os().CloseHandle(destination);
  history.identity = IdentityOnDevice(history.root, info);
  HANDLE holder = Os().OpenParentDirectory != nullptr
                      ? Os().OpenParentDirectory(history.root, FILE_READ_ATTRIBUTES)
                      : INVALID_HANDLE_VALUE;
  history.holders.push_back(history.identity);
  AddWithAncestors(holder, &history.holders);
  // What holds it is never removed, as what holds the run's inputs.
  Registries.ProtectedDirectories.insert(Registries.ProtectedDirectories.end(),
                                         history.holders.begin(), history.holders.end());
  return true;
}

bool IsHistoryFolder(const FileIdentity& identity) {
  const History& history = TheHistory();
  return history.root != INVALID_HANDLE_VALUE && SameObject(identity, history.identity);
}

bool HoldsHistory(const FileIdentity& identity) {
  const History& history = TheHistory();
  if (history.root == INVALID_HANDLE_VALUE) return false;
  for (const FileIdentity& holder : history.holders) {
    if (SameObject(identity, holder)) return true;
  }
  return false;
}

bool KeepReplaced(HANDLE object, const Place& destination, bool* moved) {
  History& history = TheHistory();
  std::lock_guard<std::mutex> lock(history.mutex);
  *moved = false;
  BY_HANDLE_FILE_INFORMATION replaced_info;
  BY_HANDLE_FILE_INFORMATION info;
  if (!Os().GetFileInformationByHandle(object, &replaced_info)) {
    ReportWin32Error(destination.path, u"History:GetFileInformationByHandle(DESTINATION)",
                     Os().GetLastError());
    return false;
  }
  HANDLE kept = OpenToKeep(destination.parent, destination.Name(), destination.path, &info);
  if (kept == INVALID_HANDLE_VALUE) return false;
  // Still the version the run decided to replace.
  if (!SameObject(IdentityOf(info), IdentityOf(replaced_info))) {
    Os().CloseHandle(kept);
    ReportWin32Error(destination.path, u"History:SameFile(DESTINATION)", ERROR_FILE_EXISTS);
    return false;
  }
  std::u16string relative;
  std::u16string name;
  HANDLE folder = FolderForEntry(history, destination.path, &relative, &name);
  BOOL done = folder != INVALID_HANDLE_VALUE && Os().CreateHardLinkAtW(kept, folder, name.c_str());
  DWORD code = Os().GetLastError();
  // No hard links here (FAT, exFAT, some shares): moved away, the new
  // version put in at once.
  if (folder != INVALID_HANDLE_VALUE && !done &&
      (code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION ||
       code == ERROR_ACCESS_DENIED)) {
    done = Os().MoveEntryAtW(kept, destination.parent, destination.Name(), folder, name.c_str());
    code = Os().GetLastError();
    *moved = done != 0;
  }
  Os().CloseHandle(kept);
  if (folder == INVALID_HANDLE_VALUE) return false;
  // Copied across; the new version's rename then removes the old one.
  if (!done && code == ERROR_NOT_SAME_DEVICE) {
    NoteCopies(history);
    if (!CopyVersion(destination.parent, destination.Name(), info, folder, name,
                     destination.path)) {
      return false;
    }
    done = 1;
  }
  if (!done) {
    ReportWin32Error(destination.path, u"History:CreateHardLink(HISTORY)", code);
    return false;
  }
  NoteChange(history, relative, "replaced", info);
  return true;
}

bool KeepRemoved(HANDLE directory, const char16_t* name, const std::u16string& path) {
  History& history = TheHistory();
  std::lock_guard<std::mutex> lock(history.mutex);
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE kept = OpenToKeep(directory, name, path, &info);
  if (kept == INVALID_HANDLE_VALUE) return false;
  std::u16string relative;
  std::u16string leaf;
  HANDLE folder = FolderForEntry(history, path, &relative, &leaf);
  BOOL moved = folder != INVALID_HANDLE_VALUE &&
               Os().MoveEntryAtW(kept, directory, name, folder, leaf.c_str());
  DWORD code = Os().GetLastError();
  Os().CloseHandle(kept);
  if (folder == INVALID_HANDLE_VALUE) return false;
  if (!moved && code == ERROR_NOT_SAME_DEVICE) {
    NoteCopies(history);
    if (!CopyVersion(directory, name, info, folder, leaf, path)) return false;
    moved = Os().DeleteFileAtW(directory, name);
    code = Os().GetLastError();
  }
  if (!moved) {
    ReportWin32Error(path, u"History:MoveFile(DESTINATION)", code);
    return false;
  }
  NoteChange(history, relative, "removed", info);
  return true;
}

bool KeepRemovedDirectory(const std::u16string& path, const BY_HANDLE_FILE_INFORMATION& info,
                          HANDLE directory) {
  History& history = TheHistory();
  std::lock_guard<std::mutex> lock(history.mutex);
  const std::u16string relative = BelowDestination(path);
  HANDLE folder = FolderFor(history, relative, path);
  if (folder == INVALID_HANDLE_VALUE) return false;
  if (!SecureLike(directory, folder)) {
    ReportWin32Error(path, u"History:SetKernelObjectSecurity(HISTORY-DIR)", Os().GetLastError());
    return false;
  }
  if (!Os().SetFileTime(folder, &info.ftCreationTime, &info.ftLastAccessTime,
                        &info.ftLastWriteTime)) {
    ReportWin32Error(path, u"History:SetFileTime(HISTORY-DIR)", Os().GetLastError());
    return false;
  }
  NoteChange(history, relative, "removed", info);
  return true;
}

void NoteDirectoryTimes(const std::u16string& path, const BY_HANDLE_FILE_INFORMATION& info,
                        const BY_HANDLE_FILE_INFORMATION& source_info) {
  History& history = TheHistory();
  // The write time says whether its times change (Linux cannot set a
  // creation time, so it would always differ there).
  if (history.root == INVALID_HANDLE_VALUE ||
      Os().CompareFileTime(&info.ftLastWriteTime, &source_info.ftLastWriteTime) == 0) {
    return;
  }
  std::lock_guard<std::mutex> lock(history.mutex);
  WriteManifest(history, "{\"path\":" + JsonString(BelowDestination(path)) +
                             ",\"change\":\"times\",\"kind\":\"directory\",\"times\":[" +
                             std::to_string(FileTimeTicks(info.ftCreationTime)) + "," +
                             std::to_string(FileTimeTicks(info.ftLastAccessTime)) + "," +
                             std::to_string(FileTimeTicks(info.ftLastWriteTime)) + "]}\n");
}

void NoteNewEntry(const std::u16string& path, HANDLE object) {
  History& history = TheHistory();
  BY_HANDLE_FILE_INFORMATION info;
  if (history.root == INVALID_HANDLE_VALUE || !Os().GetFileInformationByHandle(object, &info)) {
    return;
  }
  std::lock_guard<std::mutex> lock(history.mutex);
  NoteChange(history, BelowDestination(path), "new", info);
}

void CloseHistory(int32_t exit_code) {
  History& history = TheHistory();
  if (history.root == INVALID_HANDLE_VALUE) return;
  Close(&history.last_folder);
  Close(&history.run_folder);
  if (!KeepsHistory()) {
    Close(&history.root);
    return;
  }
  // A run that added, replaced or removed an entry has a manifest, if only
  // its start and end (entries put in folders it made are new with them):
  // a restore as of a time after it knows the history reaches back that far.
  const int64_t changed = int64_t{Counters.NewCount} + Counters.NewerCount +
                          Counters.OverwrittenCount + Counters.DeletedCount;
  if (!history.manifest.IsOpen() && changed != 0) WriteManifest(history, "");
  if (history.manifest.IsOpen()) {
    FILETIME end;
    Os().GetSystemTimeAsFileTime(&end);
    history.manifest.WriteBytes("{\"end\":" + TimeJson(end) +
                                ",\"exit\":" + std::to_string(exit_code) + "}\n");
    history.manifest.Close();
  }
  if (Settings.HistoryDaysGiven && exit_code == 0 && !StopRequested()) {
    PruneHistory(history.root, history.run_name);
  }
  if (Settings.HistoryDaysGiven) {
    HANDLE listed = OpenRootPath(Settings.History, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                 FILE_FLAG_DIRECTORY_ONLY);
    history.bytes = listed == INVALID_HANDLE_VALUE ? 0 : BytesBelow(listed);
  }
  Close(&history.root);
}

uint64_t HistoryBytes() {
  return TheHistory().bytes;
}

void ResetHistory() {
  History& history = TheHistory();
  Close(&history.last_folder);
  Close(&history.run_folder);
  history.manifest.Close();
  Close(&history.root);
  history.identity = FileIdentity{};
  history.holders.clear();
  history.run_name.clear();
  history.last_relative.clear();
  history.manifest_refused = false;
  history.copies_noted = false;
  history.bytes = 0;
}

}  // namespace vx
