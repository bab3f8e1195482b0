// Rules of the Windows backend that decide on what the system answered,
// kept apart from the calls so that they can be tried with any answer.
#pragma once

#include <cstring>

#include "platform.h"

namespace vx::win32 {

constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);

// Only a name surrogate (symbolic link, junction, mount point) leads
// elsewhere; other reparse points (deduplicated, cloud-file placeholder,
// WOF-compressed files) hold their own data and are files like any other.
constexpr bool IsNameSurrogateTag(ULONG tag) {
  return (tag & 0x20000000) != 0;
}

// Reparse data (REPARSE_DATA_BUFFER: a tag, a data length, a reserved
// word, then the tag's own data) is a link's target only where its tag is a
// name surrogate and its length agrees with what was read.
inline bool IsLinkData(const void* data, DWORD size) {
  constexpr DWORD kHeaderBytes = 8;
  if (size < kHeaderBytes) return false;
  ULONG tag = 0;
  uint16_t length = 0;
  std::memcpy(&tag, data, sizeof tag);
  std::memcpy(&length, static_cast<const unsigned char*>(data) + 4, sizeof length);
  return IsNameSurrogateTag(tag) && kHeaderBytes + length <= size;
}

// Does `act` (a rename that replaces a file, a delete) on a file that may
// be read-only, which refuses it with STATUS_ACCESS_DENIED whatever the
// privileges: where `may_meet_read_only`, the attribute is then cleared
// (`clear_read_only`, true when it did so) and `act` tried once more.
template <typename Act, typename ClearReadOnly>
NTSTATUS OverReadOnly(bool may_meet_read_only, Act act, ClearReadOnly clear_read_only) {
  NTSTATUS status = act();
  if (status == kStatusAccessDenied && may_meet_read_only && clear_read_only()) status = act();
  return status;
}

}  // namespace vx::win32
