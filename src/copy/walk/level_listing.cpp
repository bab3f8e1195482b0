// A level's listing as the walk reads it: from its handle, from memory
// once it was parked, or ahead of the walk where listing is slow (a share,
// where each entry's look is a round trip): in chunks by the walk, and by
// copiers for the next subdirectories, so that the looks overlap.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "../run_settings.h"
#include "../access.h"
#include "../file/security_parts.h"
#include "../identity.h"
#include "../registries.h"
#include "walk_levels.h"

namespace vx {

namespace {

// Subdirectories whose listings copiers read ahead of the walk, at most,
// for each directory; a listing longer than kMostReadAhead records is left
// to the walk (it would sit in memory until the walk gets there); the walk
// reads its own in chunks of kReadAheadRecords.
constexpr size_t kDirectoriesAhead = 8;
constexpr size_t kMostReadAhead = 65536;
constexpr size_t kReadAheadRecords = 1024;

// Reads the next record of the listing of the open directory `directory`.
Listed ReadRecord(HANDLE directory, ListingBuffer* buffer, BOOLEAN* restart_scan,
                  ListedEntry* entry, NTSTATUS* failure) {
  const Record read = NextRecord(directory, buffer, restart_scan, failure);
  if (read == Record::kEnd) return Listed::kEnd;
  if (read == Record::kFailed) return Listed::kFailed;
  const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer->bytes);
  entry->ahead.reset();
  entry->name.assign(record->FileName, record->FileNameLength / sizeof(char16_t));
  entry->attributes = record->FileAttributes;
  entry->size = static_cast<uint64_t>(record->EndOfFile);
  return Listed::kEntry;
}

Listed ReadListed(Level& level, ListingPace* pace, ListedEntry* entry, NTSTATUS* failure) {
  if (!level.listing) {
    level.listing.reset(new (std::nothrow) ListingBuffer);
    if (!level.listing) {
      *failure = kStatusNoMemory;
      return Listed::kFailed;
    }
  }
  if (pace == nullptr || pace->judged) {
    return ReadRecord(level.source_handle, level.listing.get(), &level.restart_scan, entry,
                      failure);
  }
  const auto asked = std::chrono::steady_clock::now();
  const Listed listed = ReadRecord(level.source_handle, level.listing.get(),
                                   &level.restart_scan, entry, failure);
  pace->spent += std::chrono::steady_clock::now() - asked;
  if (++pace->records == ListingPace::kJudgedAfter) {
    pace->judged = true;
    pace->slow = pace->spent > ListingPace::kSlowRecord * ListingPace::kJudgedAfter;
  }
  return listed;
}

}  // namespace

bool ReadInto(Level& level, size_t most, ListingPace* pace) {
  try {
    for (size_t read = 0; read < most && !level.drained; ++read) {
      // Room first, so that a record read is never lost to a failed push.
      if (level.rest.size() == level.rest.capacity()) {
        level.rest.reserve(std::max<size_t>(64, 2 * level.rest.capacity()));
      }
      ListedEntry entry;
      NTSTATUS failure = 0;
      const Listed listed = ReadListed(level, pace, &entry, &failure);
      if (listed == Listed::kEntry) {
        level.rest.push_back(std::move(entry));
        continue;
      }
      level.rest_end = listed == Listed::kEnd ? 0 : failure;
      level.drained = true;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (level.drained) level.listing.reset();
  return true;
}

namespace {

// The directory's security, read with its listing, so that on a share the
// walk entering it waits for no round trip of its own. Where the read
// fails, the walk reads it again and reports what it meets.
void ReadSecurityAhead(HANDLE directory, ListedAhead* ahead) {
  // Each copier's own; the directory keeps only the bytes read.
  thread_local std::vector<unsigned char> scratch(kSecurityBufferBytes);
  DWORD needed = 0;
  if (!Os().GetKernelObjectSecurity(directory, CarriedSecurityInformation(), scratch.data(),
                                    kSecurityBufferBytes, &needed)) {
    return;
  }
  const size_t kept =
      needed != 0 && needed <= kSecurityBufferBytes ? needed : kSecurityBufferBytes;
  ahead->descriptor.assign(scratch.begin(), scratch.begin() + static_cast<ptrdiff_t>(kept));
  ahead->descriptor_known = true;
}

// A copier's part: reads the whole listing of `path` (the entry of
// `name_length` units at its end, below the open directory `parent`) into
// `ahead`, and says it is done.
void ReadAhead(HANDLE parent, const std::u16string& path, size_t name_length,
               ListedAhead* ahead) {
  HANDLE directory = OpenSource(EntryPlace(parent, path, name_length));
  if (directory != INVALID_HANDLE_VALUE &&
      !Os().GetFileInformationByHandle(directory, &ahead->info)) {
    Os().CloseHandle(directory);
    directory = INVALID_HANDLE_VALUE;
  }
  if (directory != INVALID_HANDLE_VALUE) {
    ahead->identity = IdentityOf(directory, ahead->info);
    std::unique_ptr<ListingBuffer> buffer(new (std::nothrow) ListingBuffer);
    BOOLEAN restart_scan = 1;
    try {
      if (Settings.SecurityDescriptor) ReadSecurityAhead(directory, ahead);
      while (buffer && ahead->identity.known && ahead->entries.size() <= kMostReadAhead) {
        ListedEntry entry;
        NTSTATUS failure = 0;
        const Listed listed = ReadRecord(directory, buffer.get(), &restart_scan, &entry,
                                         &failure);
        if (listed == Listed::kEntry) {
          ahead->entries.push_back(std::move(entry));
          continue;
        }
        ahead->end = listed == Listed::kEnd ? 0 : failure;
        ahead->usable = true;
        break;
      }
    } catch (const std::bad_alloc&) {
      ahead->usable = false;
    }
    if (!ahead->usable) ahead->entries.clear();
    ahead->directory = directory;
  }
  ahead->done.store(true);
}

}  // namespace

Listed NextListed(Level& level, ListingPace* pace, ListedEntry* entry, NTSTATUS* failure) {
  if (level.rest_next == level.rest.size()) {
    level.rest.clear();
    level.rest_next = 0;
    level.ahead_next = 0;
    level.ahead_out = 0;
    if (level.reads_ahead && !level.drained) ReadInto(level, kReadAheadRecords, pace);
  }
  if (level.rest_next < level.rest.size()) {
    *entry = std::move(level.rest[level.rest_next++]);
    if (entry->ahead) --level.ahead_out;
    return Listed::kEntry;
  }
  if (!level.drained) return ReadListed(level, pace, entry, failure);
  if (level.rest_end == 0) return Listed::kEnd;
  *failure = level.rest_end;
  return Listed::kFailed;
}

bool ReadsAhead(const Walk& walk) {
  return walk.workers != nullptr && walk.pace.slow && Settings.SubDirectories &&
         Registries.Excludes.empty() && !Registries.Files.active;
}

// The walk waits for a directory read ahead (copying files meanwhile),
// since it would open and list it itself no sooner.
HANDLE TakeAheadDirectory(Walk& walk, BY_HANDLE_FILE_INFORMATION* info, FileIdentity* identity) {
  ListedAhead* ahead = walk.entering_ahead.get();
  if (ahead == nullptr || walk.workers == nullptr) return INVALID_HANDLE_VALUE;
  walk.workers->WaitUntil([ahead] { return ahead->done.load(); });
  *info = ahead->info;
  *identity = ahead->identity;
  return std::exchange(ahead->directory, INVALID_HANDLE_VALUE);
}

// Takes the listing read ahead for the directory just entered, where it is
// that directory's.
void StartReadingAhead(Walk& walk, Level& level) {
  level.reads_ahead = true;
  const std::shared_ptr<ListedAhead> ahead = std::move(walk.entering_ahead);
  if (ahead) {
    walk.workers->WaitUntil([&ahead] { return ahead->done.load(); });
    if (ahead->usable && SameObject(ahead->identity, level.source_identity)) {
      level.rest = std::move(ahead->entries);
      level.rest_end = ahead->end;
      level.drained = true;
    }
  }
}

// Hands copiers the listings of the level's next subdirectories, up to
// kDirectoriesAhead past what the walk has reached.
void ReadSubdirectoriesAhead(Walk& walk, Level& level) {
  level.reads_ahead = true;
  // What the walk has taken from `rest` is gone from it.
  level.ahead_next = std::max(level.ahead_next, level.rest_next);
  const std::u16string_view directory(level.source.path.data(), level.source_length);
  for (; level.ahead_next < level.rest.size() && level.ahead_out < kDirectoriesAhead;
       ++level.ahead_next) {
    ListedEntry& entry = level.rest[level.ahead_next];
    constexpr DWORD kLinkedDirectory = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((entry.attributes & kLinkedDirectory) != FILE_ATTRIBUTE_DIRECTORY ||
        IsDotOrDotDot(entry.name)) {
      continue;
    }
    entry.ahead = std::make_shared<ListedAhead>();
    walk.workers->RunAhead(
        [parent = level.source_handle, path = JoinPath(directory, entry.name),
         name_length = entry.name.size(), read = entry.ahead] {
          ReadAhead(parent, path, name_length, read.get());
        },
        &level.files);
    ++level.ahead_out;
  }
}

}  // namespace vx
