// Listing a directory one record at a time through NtQueryDirectoryFile:
// the walk, the count ahead of it, the tidying of a destination directory
// and /Mirror's removals.
#pragma once

#include <string_view>

#include "../platform/platform.h"
#include "run_settings.h"

namespace vx {

// One record at a time: a header and a name of at most 255 units.
constexpr ULONG kListingBufferBytes = 1024;

struct ListingBuffer {
  alignas(8) unsigned char bytes[kListingBufferBytes];
};

// The directory itself and its parent, which every listing names.
inline bool IsDotOrDotDot(std::u16string_view name) {
  return name == u"." || name == u"..";
}

// Whether a listing call found no more entries. An empty directory on FAT
// or exFAT holds no "." or "..": its first listing finds no file at all.
inline bool IsListingEnd(NTSTATUS status, BOOLEAN first_call) {
  return status == STATUS_NO_MORE_FILES || (first_call && status == STATUS_NO_SUCH_FILE);
}

// Asks for the next record of the open directory's listing, of
// `information_class`, into `buffer`; `*restart_scan` is set for the first
// call and cleared by it. kRecord, kEnd, or kFailed with `*failure` set.
enum class Record { kRead, kEnd, kFailed };
inline Record NextRecord(HANDLE directory, ListingBuffer* buffer, BOOLEAN* restart_scan,
                         NTSTATUS* failure, int information_class = FileDirectoryInformation) {
  const BOOLEAN restart = *restart_scan;
  *restart_scan = 0;
  IO_STATUS_BLOCK io_status;
  const NTSTATUS status =
      State.NtQueryDirectoryFile(directory, nullptr, nullptr, nullptr, &io_status, buffer->bytes,
                                 kListingBufferBytes, information_class, 1, nullptr, restart);
  if (IsListingEnd(status, restart)) return Record::kEnd;
  if (status < 0) {
    *failure = status;
    return Record::kFailed;
  }
  return Record::kRead;
}

}  // namespace vx
