#include "as_of.h"

#include <algorithm>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "../../platform/utf8.h"
#include "../../report/report.h"
#include "../access.h"
#include "../walk/exclude.h"
#include "../listing.h"
#include "history.h"

namespace vx {

namespace {

constexpr uint64_t kTicksPerMillisecond = 10000;

// The JSON string value of `key` in one of the manifest's own records
// (written by JsonString: \" \\ and \uXXXX escapes, else UTF-8).
bool StringValue(std::string_view record, std::string_view key, std::u16string* value) {
  const std::string quoted = "\"" + std::string(key) + "\":\"";
  const size_t at = record.find(quoted);
  if (at == std::string_view::npos) return false;
  value->clear();
  std::string run;  // UTF-8 bytes not yet decoded
  for (size_t i = at + quoted.size(); i < record.size(); ++i) {
    const char c = record[i];
    if (c == '"') {
      *value += DecodeFileName(run);
      return true;
    }
    if (c != '\\') {
      run.push_back(c);
      continue;
    }
    if (++i >= record.size()) return false;
    if (record[i] != 'u') {
      run.push_back(record[i]);
      continue;
    }
    if (i + 4 >= record.size()) return false;
    char16_t unit = 0;
    for (size_t k = i + 1; k <= i + 4; ++k) {
      const char h = record[k];
      const int digit = h >= '0' && h <= '9'   ? h - '0'
                        : h >= 'a' && h <= 'f' ? h - 'a' + 10
                        : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      unit = static_cast<char16_t>(unit * 16 + digit);
    }
    *value += DecodeFileName(run);
    run.clear();
    value->push_back(unit);
    i += 4;
  }
  return false;
}

bool TicksList(std::string_view record, FILETIME times[3]) {
  const size_t at = record.find("\"times\":[");
  if (at == std::string_view::npos) return false;
  size_t i = at + 9;
  for (int k = 0; k < 3; ++k) {
    uint64_t ticks = 0;
    bool digits = false;
    while (i < record.size() && record[i] >= '0' && record[i] <= '9') {
      ticks = ticks * 10 + static_cast<uint64_t>(record[i++] - '0');
      digits = true;
    }
    if (!digits || i >= record.size() || record[i] != (k == 2 ? ']' : ',')) return false;
    ++i;
    times[k].dwLowDateTime = static_cast<DWORD>(ticks);
    times[k].dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  }
  return true;
}

}  // namespace

bool TimeFromText(std::u16string_view text, uint64_t* ticks) {
  // 2026-12-09T02:00:00.125Z: colons dropped, the fraction read apart.
  std::u16string folder;
  uint64_t fraction = 0;
  uint64_t scale = 1000;
  bool in_fraction = false;
  for (char16_t unit : text) {
    if (unit == u':' && !in_fraction) continue;
    if (unit == u'.' && !in_fraction) {
      in_fraction = true;
      continue;
    }
    if (in_fraction && unit >= u'0' && unit <= u'9') {
      if (scale > 1) {
        scale /= 10;
        fraction += static_cast<uint64_t>(unit - u'0') * scale;
      }
      continue;
    }
    in_fraction = false;
    folder.push_back(unit);
  }
  if (folder.size() != 18 || !RunFolderStart(folder, ticks)) return false;
  *ticks += fraction * kTicksPerMillisecond;
  return true;
}

bool ParseManifest(std::string_view bytes, ManifestRun* run) {
  bool started = false;
  while (!bytes.empty()) {
    const size_t end = std::min(bytes.find('\n'), bytes.size());
    const std::string_view record = bytes.substr(0, end);
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
    std::u16string text;
    if (!started) {
      if (!StringValue(record, "start", &text) || !TimeFromText(text, &run->start)) return false;
      started = true;
      continue;
    }
    ManifestEntry entry;
    if (!StringValue(record, "path", &entry.path) || !StringValue(record, "change", &text)) {
      continue;  // the run's end, or a record of a later kind
    }
    if (text == u"new") {
      entry.change = Change::kNew;
    } else if (text == u"replaced") {
      entry.change = Change::kReplaced;
    } else if (text == u"removed") {
      entry.change = Change::kRemoved;
    } else if (text == u"times" && TicksList(record, entry.times)) {
      entry.change = Change::kTimes;
    } else {
      continue;
    }
    // Only a place below the destination is restored: a record naming one
    // outside it (".." in a manifest edited by hand) is left out. The root
    // is named only by its times.
    std::u16string below;
    if (entry.path.empty() ? entry.change != Change::kTimes
                           : !NormalisedRelativePath(entry.path, &below)) {
      continue;
    }
    entry.path = std::move(below);
    run->entries.push_back(std::move(entry));
  }
  return started;
}

AsOfPlan DecideAsOf(const std::vector<ManifestRun>& runs, uint64_t as_of) {
  AsOfPlan plan;
  std::unordered_set<std::u16string> decided;
  std::unordered_set<std::u16string> timed;
  for (const ManifestRun& run : runs) {
    if (run.start <= as_of) continue;
    AsOfPlan::Taken taken{run.name, {}};
    for (const ManifestEntry& entry : run.entries) {
      if (entry.change == Change::kTimes) {
        if (timed.insert(entry.path).second) plan.directory_times.push_back(entry);
        continue;
      }
      if (!decided.insert(entry.path).second) continue;
      if (entry.change == Change::kNew) {
        plan.left_out.push_back(entry.path);
      } else {
        taken.paths.push_back(entry.path);
        plan.taken_paths.push_back(entry.path);
      }
    }
    if (!taken.paths.empty()) plan.taken.push_back(std::move(taken));
  }
  return plan;
}

bool ReadManifests(const std::u16string& history, std::vector<ManifestRun>* runs) {
  HANDLE folder = OpenRootPath(history, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                               FILE_FLAG_DIRECTORY_ONLY);
  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  if (folder == INVALID_HANDLE_VALUE || !listing) {
    ReportWin32Error(history, u"AsOf:CreateFile(HISTORY-DIR)",
                     listing ? Os().GetLastError() : ERROR_NOT_ENOUGH_MEMORY);
    if (folder != INVALID_HANDLE_VALUE) Os().CloseHandle(folder);
    return false;
  }
  const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(listing->bytes);
  bool read_all = true;
  for (BOOLEAN restart_scan = 1;;) {
    NTSTATUS failure = 0;
    const Record read = NextRecord(folder, listing.get(), &restart_scan, &failure);
    if (read == Record::kFailed) {
      ReportNtStatus(history, u"NtQueryDirectoryFile()", failure);
      read_all = false;
      break;
    }
    if (read == Record::kEnd) break;
    const std::u16string name(record->FileName, record->FileNameLength / sizeof(char16_t));
    uint64_t start = 0;
    if (!name.ends_with(u".json") || !RunFolderStart(name, &start) ||
        (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      continue;
    }
    HANDLE file = Os().CreateFileAtW(folder, name.c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    BOOL reading = file != INVALID_HANDLE_VALUE;
    while (reading && (reading = Os().ReadFile(file, chunk, sizeof chunk, &got, nullptr)) && got > 0) {
      bytes.append(chunk, got);
    }
    const DWORD code = Os().GetLastError();
    if (file != INVALID_HANDLE_VALUE) Os().CloseHandle(file);
    ManifestRun run;
    run.name = name.substr(0, name.size() - 5);
    if (!reading || !ParseManifest(bytes, &run)) {
      ReportWin32Error(JoinPath(history, name), u"AsOf:ReadFile(MANIFEST)",
                       reading ? ERROR_INVALID_DATA : code);
      read_all = false;
      continue;
    }
    runs->push_back(std::move(run));
  }
  Os().CloseHandle(folder);
  std::sort(runs->begin(), runs->end(), [](const ManifestRun& a, const ManifestRun& b) {
    return a.start != b.start ? a.start < b.start : a.name < b.name;
  });
  return read_all;
}

}  // namespace vx
