// Keeping history for a number of days: the run folders' names, read back
// as their starts, the pruning of the old ones and the history's size.
#include "history_days.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "../../report/report.h"
#include "../../report/text.h"
#include "../run_settings.h"
#include "../access.h"
#include "../listing.h"
#include "history.h"
#include "remove.h"

namespace vx {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksPerDay = 86400 * kTicksPerSecond;

// Days from 1 March of year 0 of a proleptic Gregorian date (the inverse
// of UtcTimeText's).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = year / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era;
}

}  // namespace

std::u16string RunFolderName(uint64_t ticks) {
  const std::u16string text = UtcTimeText(ticks);  // 2026-12-09T02:00:00.000Z
  return text.substr(0, 13) + text.substr(14, 2) + text.substr(17, 2) + u"Z";
}

bool RunFolderStart(std::u16string_view name, uint64_t* ticks) {
  if (name.ends_with(u".json")) name.remove_suffix(5);
  // 2026-12-09T020000Z, then optionally -N
  if (name.size() < 18 || name[4] != u'-' || name[7] != u'-' || name[10] != u'T' ||
      name[17] != u'Z') {
    return false;
  }
  auto number = [&](size_t at, size_t digits, int64_t* value) {
    *value = 0;
    for (size_t i = at; i < at + digits; ++i) {
      if (name[i] < u'0' || name[i] > u'9') return false;
      *value = *value * 10 + (name[i] - u'0');
    }
    return true;
  };
  int64_t year, month, day, hour, minute, second, taken;
  if (!number(0, 4, &year) || !number(5, 2, &month) || !number(8, 2, &day) ||
      !number(11, 2, &hour) || !number(13, 2, &minute) || !number(15, 2, &second) || month < 1 ||
      month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  if (name.size() > 18 &&
      (name[18] != u'-' || name.size() == 19 || name.size() > 25 ||
       !number(19, name.size() - 19, &taken))) {
    return false;
  }
  constexpr int64_t kDaysFrom0000To1601 = 584694;
  const int64_t days = DaysFromCivil(year, month, day) - kDaysFrom0000To1601;
  if (days < 0) return false;
  *ticks = (static_cast<uint64_t>(days) * 86400 + static_cast<uint64_t>(hour * 3600 + minute * 60 + second)) *
           kTicksPerSecond;
  return true;
}

uint64_t BytesBelow(HANDLE directory) {
  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  if (!listing) {
    Os().CloseHandle(directory);
    return 0;
  }
  struct Open {
    HANDLE handle;
    BOOLEAN restart_scan = 1;
  };
  std::vector<Open> stack{{directory}};
  const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(listing->bytes);
  uint64_t bytes = 0;
  while (!stack.empty()) {
    NTSTATUS failure = 0;
    if (NextRecord(stack.back().handle, listing.get(), &stack.back().restart_scan, &failure) !=
        Record::kRead) {
      Os().CloseHandle(stack.back().handle);
      stack.pop_back();
      continue;
    }
    const std::u16string name(record->FileName, record->FileNameLength / sizeof(char16_t));
    const ULONG attributes = record->FileAttributes;
    if (IsDotOrDotDot(name)) continue;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      HANDLE below = Os().CreateFileAtW(stack.back().handle, name.c_str(),
                                        FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll,
                                        OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                                            FILE_FLAG_DIRECTORY_ONLY);
      if (below != INVALID_HANDLE_VALUE) stack.push_back(Open{below});
    } else {
      bytes += static_cast<uint64_t>(std::max<int64_t>(record->EndOfFile, 0));
    }
  }
  return bytes;
}

void PruneHistory(HANDLE root, const std::u16string& this_run) {
  struct Kept {
    uint64_t start;
    std::u16string name;
    bool folder;
  };
  std::vector<Kept> kept;
  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  if (!listing) return;
  const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(listing->bytes);
  for (BOOLEAN restart_scan = 1;;) {
    NTSTATUS failure = 0;
    const Record read = NextRecord(root, listing.get(), &restart_scan, &failure);
    if (read == Record::kFailed) {
      ReportNtStatus(Settings.History, u"NtQueryDirectoryFile()", failure);
      return;
    }
    if (read == Record::kEnd) break;
    const std::u16string name(record->FileName, record->FileNameLength / sizeof(char16_t));
    uint64_t start = 0;
    const bool folder = (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    const bool manifest = !folder && name.ends_with(u".json");
    if ((folder || manifest) && RunFolderStart(name, &start)) kept.push_back({start, name, folder});
  }
  std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
    return a.start != b.start ? a.start < b.start : a.name < b.name;
  });
  const uint64_t run_start = FileTimeTicks(State.StartTime);
  const uint64_t days = static_cast<uint64_t>(Settings.HistoryDays) * kTicksPerDay;
  const uint64_t cutoff = run_start > days ? run_start - days : 0;
  const Kept* newest_folder = nullptr;
  for (const Kept& entry : kept) {
    if (entry.folder) newest_folder = &entry;
  }
  auto is_of = [](const Kept& entry, const std::u16string& folder) {
    return entry.name == folder || entry.name == folder + u".json";
  };
  for (const Kept& entry : kept) {
    if (entry.start >= cutoff || is_of(entry, this_run) ||
        (newest_folder != nullptr && is_of(entry, newest_folder->name))) {
      continue;
    }
    const std::u16string path = JoinPath(Settings.History, entry.name);
    if (entry.folder ? RemoveWholeTree(root, entry.name.c_str(), path)
                     : Os().DeleteFileAtW(root, entry.name.c_str()) != 0) {
      AnnounceRemoval(path);
    } else if (!entry.folder) {
      ReportWin32Error(path, u"History:DeleteFile(MANIFEST)", Os().GetLastError());
    }
  }
}

}  // namespace vx
