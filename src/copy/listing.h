// Listing a directory one record at a time through NtQueryDirectoryFile:
// the walk, the tidying of a destination directory and /Mirror's removals.
#pragma once

#include "../platform/platform.h"

namespace vx {

// One record at a time: a header and a name of at most 255 units.
constexpr ULONG kListingBufferBytes = 1024;

struct ListingBuffer {
  alignas(8) unsigned char bytes[kListingBufferBytes];
};

// Whether a listing call found no more entries. An empty directory on FAT
// or exFAT holds no "." or "..": its first listing finds no file at all.
inline bool IsListingEnd(NTSTATUS status, BOOLEAN first_call) {
  return status == STATUS_NO_MORE_FILES || (first_call && status == STATUS_NO_SUCH_FILE);
}

}  // namespace vx
