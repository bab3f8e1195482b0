#include "prepare.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "../copy/access.h"
#include "../copy/identity.h"
#include "../copy/registries.h"
#include "../platform/platform.h"
#include "../report/json_log.h"
#include "../report/report.h"
#include "../report/text.h"
#include "command_line.h"
#include "privilege.h"
#include "run_state.h"

namespace vx {

namespace {

// What to do about a path the run refused to follow a link on: a root, and
// a path the operator named (a log, a list).
constexpr char16_t kRefusedRootHint[] =
    u"a link on the root's path belongs to a user who could not read what it leads to, so it "
    u"may have been planted to lead the run's rights there; name the real place instead.";
constexpr char16_t kPlantedLinkHint[] =
    u"the path leads through a link that another user could have planted (one not owned by "
    u"root or you, or in a directory others may write); name the real place instead.";

// A path the operator named (a log, a list) is opened by the run with every
// right: never through a link another user could have planted on the way.
HANDLE OpenOperatorPath(const char16_t* path, DWORD access, DWORD disposition) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (Os().CreateFileTrustedW != nullptr) {
    return Os().CreateFileTrustedW(path, access, kShare, disposition, FILE_ATTRIBUTE_NORMAL);
  }
  return Os().CreateFileW(path, access, kShare, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
}

// A log, created or truncated, written in blocks; others may read and write
// the file meanwhile. Its identity is kept so that the walk leaves it alone.
bool OpenLogFile(const char16_t* path, bool append, Sink* sink, FileIdentity* identity) {
  HANDLE file = OpenOperatorPath(
      path, append ? FILE_APPEND_DATA | FILE_READ_ATTRIBUTES : GENERIC_WRITE,
      append ? OPEN_ALWAYS : CREATE_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return false;
  sink->Attach(file, Sink::Delivery::kBlocks, true);
  BY_HANDLE_FILE_INFORMATION info;
  if (Os().GetFileInformationByHandle(file, &info)) *identity = IdentityOf(file, info);
  return true;
}

// Whether the destination root, which could not be opened for `code`, lies
// beyond a link that may not be followed: itself, or (where it is still to
// be made) the folder that is to hold it.
bool DestinationRootRefused(DWORD code) {
  if (code == ERROR_CANT_ACCESS_FILE) return true;
  const std::u16string root(Settings.Destination);
  const size_t cut = root.find_last_of(kPathSeparator);
  if (!IsNotFound(code) || cut == std::u16string::npos || cut == 0) return false;
  HANDLE holder = OpenRootPath(root.substr(0, cut), FILE_READ_ATTRIBUTES, 0);
  if (holder != INVALID_HANDLE_VALUE) {
    Os().CloseHandle(holder);
    return false;
  }
  return Os().GetLastError() == ERROR_CANT_ACCESS_FILE;
}

// What the roots are, looked at once before anything is made: a source
// that is a file (or another object than a directory), which the walk
// would meet after making the destination; or two roots that are one
// directory under two names (the same path, "S/./", a link, a mount of the
// same place), since a copy onto itself would cut every file to nothing
// under /Overwrite; or a root reached through a link that may not be
// followed (one another user could have planted on its path). A root that
// cannot be opened otherwise here is left for the walk to report.
enum class Roots { kUsable, kSourceNoDirectory, kOneDirectory, kSourceRefused, kDestinationRefused };
Roots LookAtRoots() {
  HANDLE source_root = OpenSource(RootPlace(std::u16string(Settings.Source)));
  if (source_root == INVALID_HANDLE_VALUE) {
    return Os().GetLastError() == ERROR_CANT_ACCESS_FILE ? Roots::kSourceRefused : Roots::kUsable;
  }
  BY_HANDLE_FILE_INFORMATION source_info;
  if (!Os().GetFileInformationByHandle(source_root, &source_info)) {
    Os().CloseHandle(source_root);
    return Roots::kUsable;
  }
  Roots roots = Roots::kUsable;
  if (!(source_info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    roots = Roots::kSourceNoDirectory;
  } else if (HANDLE destination_root = OpenDestination(
                 RootPlace(std::u16string(Settings.Destination)), FILE_READ_ATTRIBUTES);
             destination_root != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION destination_info;
    if (Os().GetFileInformationByHandle(destination_root, &destination_info)) {
      FileIdentity source_identity = IdentityOf(source_info);
      FileIdentity destination_identity = IdentityOf(destination_info);
      if (SameOpenObject(source_root, &source_identity, destination_root, &destination_identity)) {
        roots = Roots::kOneDirectory;
      }
    }
    Os().CloseHandle(destination_root);
  } else if (DestinationRootRefused(Os().GetLastError())) {
    roots = Roots::kDestinationRefused;
  }
  Os().CloseHandle(source_root);
  return roots;
}

// The directory a typed log path names its file in.
std::u16string LogDirectory(std::u16string_view log) {
  size_t cut = log.find_last_of(kPathSeparator);
  if (kPathSeparator != u'/') {
    const size_t slash = log.find_last_of(u'/');
    if (slash != std::u16string_view::npos && (cut == std::u16string_view::npos || slash > cut)) {
      cut = slash;
    }
  }
  if (cut == std::u16string_view::npos) return u".";
  // A root ("/", "C:\") keeps its separator.
  if (cut == 0 || log[cut - 1] == u':') ++cut;
  return std::u16string(log.substr(0, cut));
}

// What /Mirror must never remove: the directories that hold the source
// root, the Log or the ErrorLog. False where the source root lies inside
// the destination root, which a /Mirror run would then copy into itself
// and at last remove: the run is refused.
bool ProtectRunInputs() {
  std::vector<FileIdentity>& kept = Registries.ProtectedDirectories;
  AddWithAncestors(OpenSource(RootPlace(std::u16string(Settings.Source))), &kept);
  const size_t source_chain = kept.size();
  for (const char16_t* log : {Settings.Log, Settings.ErrorLog, Settings.JsonLog}) {
    if (log == nullptr) continue;
    const std::u16string directory = LogDirectory(log);
    AddWithAncestors(Os().CreateFileW(directory.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                     &kept);
  }
  HANDLE destination_root = OpenDestination(RootPlace(std::u16string(Settings.Destination)),
                                            FILE_READ_ATTRIBUTES);
  if (destination_root == INVALID_HANDLE_VALUE) return true;
  BY_HANDLE_FILE_INFORMATION info;
  FileIdentity destination = {};
  if (Os().GetFileInformationByHandle(destination_root, &info)) {
    destination = IdentityOnDevice(destination_root, info);
  }
  Os().CloseHandle(destination_root);
  for (size_t i = 0; i < source_chain; ++i) {
    if (SameObject(kept[i], destination)) return false;
  }
  return true;
}

std::u16string YesNo(int32_t flag) {
  return flag ? u"Yes" : u"No";
}

// The settings block's rows, name and value, in the block's order.
std::vector<std::pair<std::u16string, std::u16string>> SettingsRows() {
  std::vector<std::pair<std::u16string, std::u16string>> rows = {
      {u"Source", ShownPath(Settings.Source)},
      {u"Destination", ShownPath(Settings.Destination)},
      {u"Overwrite", YesNo(Settings.Overwrite)},
      {u"OnlyNewer", YesNo(Settings.OnlyNewer)},
      {u"SecurityDescriptor", YesNo(Settings.SecurityDescriptor)},
      {u"SubDirectories", YesNo(Settings.SubDirectories)},
      {u"Silent", YesNo(Settings.Silent)},
      {u"CreateDestinationDirectory", YesNo(Settings.CreateDestinationDirectory)},
      {u"StopAtFirstError", YesNo(Settings.StopAtFirstError)},
      {u"CopyBufferSize", Decimal(static_cast<int32_t>(Settings.CopyBufferSize >> 10))},
  };
  // An extension shows its row only when given.
  auto flag = [&](int32_t given, const char16_t* name) {
    if (given) rows.emplace_back(name, u"Yes");
  };
  auto count = [&](int32_t given, const char16_t* name, int32_t value) {
    if (given) rows.emplace_back(name, Decimal(value));
  };
  flag(Settings.HardLinks, u"HardLinks");
  flag(Settings.Attributes, u"Attributes");
  flag(Settings.Links == kLinksKept, u"Links");
  flag(Settings.Links == kLinksFollowed, u"FollowLinks");
  flag(Settings.Streams, u"Streams");
  flag(Settings.Specials, u"Specials");
  flag(Settings.Mirror, u"Mirror");
  flag(Settings.List, u"List");
  for (std::u16string_view pattern : Settings.Excludes) {
    rows.emplace_back(u"Exclude", ShownPath(pattern));
  }
  count(Settings.RetryGiven, u"Retry", Settings.Retry);
  count(Settings.WaitGiven, u"Wait", Settings.Wait);
  count(Settings.ThreadsGiven, u"Threads", Settings.Threads);
  count(Settings.MaxDeleteGiven, u"MaxDelete", Settings.MaxDelete);
  flag(Settings.Flush, u"Flush");
  flag(Settings.Recall, u"Recall");
  flag(Settings.AppendLog, u"AppendLog");
  flag(Settings.AppendErrorLog, u"AppendErrorLog");
  if (Settings.JsonLog != nullptr) rows.emplace_back(u"JsonLog", ShownPath(Settings.JsonLog));
  flag(Settings.Verify, u"Verify");
  if (Settings.Files != nullptr) {
    rows.emplace_back(Settings.FilesNul ? u"Files0" : u"Files", ShownPath(Settings.Files));
  }
  flag(Settings.AcceptVolume, u"AcceptVolume");
  flag(Settings.SummaryLine, u"SummaryLine");
  flag(Settings.Utf8, u"Utf8");
  if (Settings.History != nullptr) rows.emplace_back(u"History", ShownPath(Settings.History));
  count(Settings.HistoryDaysGiven, u"HistoryDays", Settings.HistoryDays);
  if (Settings.AsOf != nullptr) rows.emplace_back(u"AsOf", std::u16string(Settings.AsOf));
  if (Settings.MaxChangeGiven) {
    rows.emplace_back(u"MaxChange",
                      Decimal(Settings.MaxChange) + (Settings.MaxChangePercent ? u"%" : u""));
  }
  return rows;
}

void PrintSettingsBlock(const std::vector<std::pair<std::u16string, std::u16string>>& rows) {
  constexpr size_t kNameWidth = 26;
  std::vector<std::u16string> lines;
  for (const auto& [name, value] : rows) {
    lines.push_back(name + std::u16string(kNameWidth - std::min(kNameWidth, name.size()), u' ') +
                    u": " + value + u"\n");
  }
  lines.push_back(kDashesLine);
  if (!Settings.Silent) {
    WriteConsole(kDashesLine);
    WriteConsole(u"Velmox " + std::u16string(kVersionText) + u"\n");
    WriteConsole(kDashesLine);
    for (const std::u16string& line : lines) WriteConsole(line);
  }
  for (const std::u16string& line : lines) State.Log.Write(line);
}

// The JSON log's first record: when the run began and what it was asked.
// The one row given more than once, Exclude, is an array in the given order.
void WriteJsonStart(const std::vector<std::pair<std::u16string, std::u16string>>& rows) {
  std::string settings;
  std::string excludes;
  for (const auto& [name, value] : rows) {
    std::string& into = name == u"Exclude" ? excludes : settings;
    if (!into.empty()) into += ',';
    into += name == u"Exclude" ? JsonString(value) : JsonString(name) + ':' + JsonString(value);
  }
  if (!excludes.empty()) settings += ",\"Exclude\":[" + excludes + ']';
  JsonRecord("start")
      .Text("version", kVersionText)
      .Text("time", UtcTimeText(FileTimeTicks(State.StartTime)))
      .Raw("settings", '{' + settings + '}')
      .Write();
}

// A list of paths larger than this is no list a run could hold: /dev/zero
// or a log named by mistake. Refused rather than read until memory ends.
constexpr size_t kMaxFileListBytes = size_t{1} << 30;

enum class ListRead { kRead, kRefused, kTooLarge };

// Reads the list of /Files: whole; kRefused with the system's code.
ListRead ReadWholeFile(const char16_t* path, std::string* bytes) {
  HANDLE file = OpenOperatorPath(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return ListRead::kRefused;
  char chunk[65536];
  DWORD read = 0;
  bool done = false;
  bool too_large = false;
  while ((done = Os().ReadFile(file, chunk, sizeof chunk, &read, nullptr) != 0) && read > 0) {
    if (bytes->size() + read > kMaxFileListBytes) {
      too_large = true;
      break;
    }
    bytes->append(chunk, read);
  }
  const DWORD code = Os().GetLastError();
  Os().CloseHandle(file);
  Os().SetLastError(code);
  if (too_large) return ListRead::kTooLarge;
  return done ? ListRead::kRead : ListRead::kRefused;
}

// The list of /Files:, read into the walk's registry; false after saying
// why the run cannot start.
bool ReadFileList() {
  std::string bytes;
  switch (ReadWholeFile(Settings.Files, &bytes)) {
    case ListRead::kRead:
      break;
    case ListRead::kRefused: {
      const DWORD code = Os().GetLastError();
      WriteConsole(u"Cannot read file list " + ShownPath(Settings.Files) + u".\n");
      WriteHint(code == ERROR_CANT_ACCESS_FILE ? std::u16string(kPlantedLinkHint)
                                               : u"the system says: " + SystemMessage(code));
      return false;
    }
    case ListRead::kTooLarge:
      WriteConsole(u"File list " + ShownPath(Settings.Files) + u" is larger than 1 GiB, aborting.\n");
      return false;
  }
  size_t bad_record = 0;
  if (!ParseFileList(bytes, Settings.FilesNul != 0, &Registries.Files, &bad_record)) {
    WriteConsole(u"Invalid path in file list " + ShownPath(Settings.Files) + u", entry " +
                 UnsignedDecimal(bad_record) + u", aborting.\n");
    return false;
  }
  return true;
}

FARPROC BindNtdllEntry(const char* name) {
  HMODULE ntdll = Os().GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr ? Os().GetProcAddress(ntdll, name) : nullptr;
}

// The system's reason a log cannot be opened, and what to do about it.
void HintLogRefused(DWORD code) {
  if (code == ERROR_CANT_ACCESS_FILE) {
    WriteHint(kPlantedLinkHint);
    return;
  }
  WriteHint(u"the system says: " + SystemMessage(code) +
            (IsNotFound(code) ? u" Create the log's folder first." : u""));
}

// Each run's part of an appended log begins with its start, in local time
// with the offset, and its command line, so that a month of nights reads
// as dated runs.
void StampAppendedLogs() {
  if (!Settings.AppendLog && !Settings.AppendErrorLog) return;
  LONG offset = 0;
  if (Os().GetLocalTimeOffset == nullptr || !Os().GetLocalTimeOffset(&State.StartTime, &offset)) {
    offset = 0;
  }
  const std::u16string stamp = u"Run of " + LocalTimeText(FileTimeTicks(State.StartTime), offset) +
                               u": " + State.CommandLine + u"\n";
  if (Settings.AppendLog && State.Log.IsOpen()) State.Log.Write(stamp);
  if (Settings.AppendErrorLog && State.ErrorLog.IsOpen()) State.ErrorLog.Write(stamp);
}

}  // namespace

bool PrepareRun() {
  // Every line from here on, the settings block first, in the form asked.
  WriteTextAsUtf8(Settings.Utf8 != 0);
  if (Settings.Log != nullptr &&
      !OpenLogFile(Settings.Log, Settings.AppendLog, &State.Log, &Registries.LogIdentity)) {
    const DWORD code = Os().GetLastError();
    WriteConsole(u"Cannot open logfile " + ShownPath(Settings.Log) + u" for writing.\n");
    HintLogRefused(code);
    return false;
  }
  if (Settings.ErrorLog != nullptr &&
      !OpenLogFile(Settings.ErrorLog, Settings.AppendErrorLog, &State.ErrorLog,
                   &Registries.ErrorLogIdentity)) {
    const DWORD code = Os().GetLastError();
    WriteConsole(u"Cannot open error-logfile " + ShownPath(Settings.ErrorLog) + u" for writing.\n");
    HintLogRefused(code);
    return false;
  }
  if (Settings.JsonLog != nullptr &&
      !OpenLogFile(Settings.JsonLog, false, &State.JsonLog, &Registries.JsonLogIdentity)) {
    const DWORD code = Os().GetLastError();
    WriteConsole(u"Cannot open JSON logfile " + ShownPath(Settings.JsonLog) + u" for writing.\n");
    HintLogRefused(code);
    return false;
  }
  Os().GetSystemTimeAsFileTime(&State.StartTime);
  StampAppendedLogs();
  const auto rows = SettingsRows();
  PrintSettingsBlock(rows);
  WriteJsonStart(rows);
  if (Settings.Files != nullptr && !ReadFileList()) return false;
  State.NtQueryDirectoryFile =
      reinterpret_cast<NtQueryDirectoryFileFn>(BindNtdllEntry("NtQueryDirectoryFile"));
  if (State.NtQueryDirectoryFile == nullptr) {
    WriteConsole(u"Could not find NtQueryDirectoryFile entry point in NTDLL.DLL\n");
    return false;
  }
  State.RtlNtStatusToDosError =
      reinterpret_cast<RtlNtStatusToDosErrorFn>(BindNtdllEntry("RtlNtStatusToDosError"));
  if (State.RtlNtStatusToDosError == nullptr) {
    WriteConsole(u"Could not find RtlNtStatusToDosError entry point in NTDLL.DLL\n");
    return false;
  }
  if (!SetPrivilege("SeRestorePrivilege") || !SetPrivilege("SeBackupPrivilege")) {
    WriteHint(kPrivilegeHint);
    return false;
  }
  // Backup operators hold the backup and restore privileges only. Links
  // are then made as reparse points the restore privilege may set; a link
  // that cannot be made is one ERR of its own.
  if (Settings.Links == kLinksKept && !SetPrivilege("SeCreateSymbolicLinkPrivilege")) {
    WriteConsole(
        u"Going on without the SeCreateSymbolicLinkPrivilege privilege: links are made "
        u"where the restore privilege allows it, else each is one error.\n");
  }
  // Without /SecurityDescriptor nothing needs the security privilege: the
  // run goes on, opening objects without their system access-control lists;
  // /Backup then carries owner, group and DACL.
  if (!SetPrivilege("SeSecurityPrivilege")) {
    if (Settings.SecurityDescriptor && !Settings.Backup) {
      WriteHint(kPrivilegeHint);
      return false;
    }
    WriteConsole(Settings.SecurityDescriptor
                     ? u"Going on without the SeSecurityPrivilege privilege: owner, group and "
                       u"DACL are carried, the system access-control list is not.\n"
                     : u"Going on without the SeSecurityPrivilege privilege: no system "
                       u"access-control list is read or written.\n");
    State.WithoutSystemSecurity = true;
  }
  // With /Threads: every worker copies through a buffer of its own; the
  // first is COPYBUFFER.
  while (State.CopyBuffers.size() < static_cast<size_t>(Settings.Threads)) {
    void* buffer = Os().VirtualAlloc(nullptr, Settings.CopyBufferSize, MEM_COMMIT, PAGE_READWRITE);
    if (buffer == nullptr) {
      ReportWin32Error(u"Main()", u"VirtualAlloc(COPYBUFFER)", Os().GetLastError());
      return false;
    }
    State.CopyBuffers.push_back(buffer);
  }
  State.COPYBUFFER = State.CopyBuffers.front();
  // Where each look at a listed entry is a round trip, a listing looks at
  // as many at once as files are copied at once.
  if (Os().SetLooksAtOnce != nullptr) Os().SetLooksAtOnce(static_cast<DWORD>(Settings.Threads));
  const Roots roots = LookAtRoots();
  if (roots == Roots::kSourceNoDirectory) {
    WriteConsole(u"Source " + ShownPath(Settings.Source) + u" is not a directory, aborting.\n");
    return false;
  }
  if (roots == Roots::kOneDirectory) {
    WriteConsole(u"Source and destination are the same directory, aborting.\n");
    return false;
  }
  if (roots == Roots::kSourceRefused || roots == Roots::kDestinationRefused) {
    const bool source = roots == Roots::kSourceRefused;
    WriteConsole((source ? u"Source " + ShownPath(Settings.Source)
                         : u"Destination " + ShownPath(Settings.Destination)) +
                 u" is reached through a link that may not be followed, aborting.\n");
    WriteHint(kRefusedRootHint);
    return false;
  }
  if (Settings.Mirror && !ProtectRunInputs()) {
    WriteConsole(u"Source lies inside the destination, which /Mirror would remove, aborting.\n");
    return false;
  }
  return true;
}

}  // namespace vx
