#include "counting_walk.h"

#include <memory>
#include <new>
#include <vector>

#include "../../report/progress.h"
#include "../../report/report.h"
#include "../run_settings.h"
#include "stop.h"
#include "../access.h"
#include "exclude.h"
#include "../listing.h"
#include "../registries.h"
#include "walk_levels.h"

namespace vx {

namespace {

// Deeper than this the count goes no further: what lies below is met by
// the walk, and the total stays a lower bound.
constexpr size_t kMostDepth = 128;
// Totals are handed on after this many entries, and at the end.
constexpr uint64_t kEntriesBetweenNotes = 1024;

struct CountedLevel {
  HANDLE directory = INVALID_HANDLE_VALUE;
  BOOLEAN restart = 1;
  size_t path_length = 0;  // of the walk's path, at this directory
};

HANDLE OpenForListing(HANDLE parent, const std::u16string& path, size_t name_length) {
  constexpr DWORD kFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  if (parent == INVALID_HANDLE_VALUE) return OpenRootPath(path, FILE_LIST_DIRECTORY, 0);
  return Os().CreateFileAtW(parent, path.c_str() + path.size() - name_length, FILE_LIST_DIRECTORY,
                            kShareAll, OPEN_EXISTING, kFlags);
}

}  // namespace

CountingWalk::~CountingWalk() {
  stop_.store(true);
  if (thread_.joinable()) {
    thread_.join();
    EndSharedBooks();
  }
}

void CountingWalk::StartIfShown(const std::u16string& root) {
  if (!ProgressShown() || Registries.Files.active || State.NtQueryDirectoryFile == nullptr) return;
  BeginSharedBooks();
  try {
    thread_ = std::thread(&CountingWalk::Count, this, root);
  } catch (const std::exception&) {
    // Without a thread the total is known once the walk has met it all.
    EndSharedBooks();
  }
}

void CountingWalk::Count(std::u16string path) {
  std::unique_ptr<ListingBuffer> buffer(new (std::nothrow) ListingBuffer);
  std::vector<CountedLevel> levels;
  const size_t root_length = path.size();
  HANDLE root = OpenForListing(INVALID_HANDLE_VALUE, path, 0);
  if (buffer == nullptr || root == INVALID_HANDLE_VALUE) {
    if (root != INVALID_HANDLE_VALUE) Os().CloseHandle(root);
    return;
  }
  levels.push_back(CountedLevel{root, 1, path.size()});
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t since_note = 0;
  while (!levels.empty() && !stop_.load() && !StopRequested()) {
    CountedLevel& level = levels.back();
    path.resize(level.path_length);
    NTSTATUS failure = 0;
    if (NextRecord(level.directory, buffer.get(), &level.restart, &failure) != Record::kRead) {
      Os().CloseHandle(level.directory);
      levels.pop_back();
      continue;
    }
    const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer->bytes);
    const std::u16string_view name(record->FileName, record->FileNameLength / sizeof(char16_t));
    if (IsDotOrDotDot(name)) continue;
    if (!Registries.Excludes.empty() &&
        IsExcluded(Registries.Excludes, EntryBelowRoot(path, root_length, name), name)) {
      continue;
    }
    const DWORD attributes = record->FileAttributes;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A link to a directory is the walk's to judge; the count never
      // follows one.
      if (!Settings.SubDirectories || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
          levels.size() >= kMostDepth) {
        continue;
      }
      AppendName(&path, name);
      HANDLE directory = OpenForListing(level.directory, path, name.size());
      if (directory != INVALID_HANDLE_VALUE) {
        try {
          levels.push_back(CountedLevel{directory, 1, path.size()});
        } catch (const std::bad_alloc&) {
          Os().CloseHandle(directory);
        }
      }
      continue;
    }
    ++files;
    bytes += static_cast<uint64_t>(record->EndOfFile);
    if (++since_note == kEntriesBetweenNotes) {
      since_note = 0;
      NoteCounted(files, bytes, false);
    }
  }
  const bool whole = levels.empty();
  for (const CountedLevel& level : levels) Os().CloseHandle(level.directory);
  NoteCounted(files, bytes, whole);
}

}  // namespace vx
