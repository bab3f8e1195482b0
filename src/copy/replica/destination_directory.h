// The destination directory of a source directory: made where it is
// missing, accepted where it exists by the rules of /Overwrite and
// /OnlyNewer, made room for with /Mirror, or, with /List, only looked at.
#pragma once

#include "../../platform/platform.h"
#include "../place.h"

namespace vx {

// Makes (the root only on request) and opens the destination directory; a
// directory only, so a file at the name is never given a directory's
// security or times. `*created` says whether the run made it; with /List,
// whether it would, and then `*handle` stays INVALID_HANDLE_VALUE. Returns
// false after reporting.
bool OpenDestinationLevel(const Place& source, const Place& destination, bool* created,
                          HANDLE* handle);

}  // namespace vx
