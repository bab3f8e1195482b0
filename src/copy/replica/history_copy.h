// What history copies rather than moves (history.h).
#pragma once

#include <string>

#include "../../platform/platform.h"

namespace vx {

// Gives `object` the owner, group and DACL of `like` (on Linux the owner,
// group, mode and ACLs): what the history's folders get, so that none is
// more open than what it holds.
bool SecureLike(HANDLE like, HANDLE object);

// Another volume than the version's (a history elsewhere, a volume mounted
// in the replica): the bytes, times, security and attributes of the entry
// `name` of `directory`, whose information is `info`, copied into `folder`
// as `leaf`; the caller then removes or replaces it. A file only: a link or
// a special file stays (ERROR_NOT_SAME_DEVICE). False after reporting.
bool CopyVersion(HANDLE directory, const char16_t* name, const BY_HANDLE_FILE_INFORMATION& info,
                 HANDLE folder, const std::u16string& leaf, const std::u16string& path);

}  // namespace vx
