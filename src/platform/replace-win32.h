// Rules of the Windows backend that decide on what the system answered,
// kept apart from the calls so that they can be tried with any answer.
#pragma once

#include "platform.h"

namespace vx::win32 {

constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);

// Only a name surrogate (symbolic link, junction, mount point) leads
// elsewhere; other reparse points (deduplicated, cloud-file placeholder,
// WOF-compressed files) hold their own data and are files like any other.
constexpr bool IsNameSurrogateTag(ULONG tag) {
  return (tag & 0x20000000) != 0;
}

// Puts a file in place by `rename`. A replaced file that is read-only
// refuses the rename with STATUS_ACCESS_DENIED whatever the privileges: its
// attribute is cleared (`clear_read_only`, true when it did so) and the
// rename tried once more.
template <typename Rename, typename ClearReadOnly>
NTSTATUS RenameOverReadOnly(bool replace, Rename rename, ClearReadOnly clear_read_only) {
  NTSTATUS status = rename();
  if (status == kStatusAccessDenied && replace && clear_read_only()) status = rename();
  return status;
}

}  // namespace vx::win32
