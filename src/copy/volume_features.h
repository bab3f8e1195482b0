// What each destination volume keeps (sparse files, named streams), asked
// once a volume a run, so a copy never fails on what a USB disk or a NAS share
// cannot hold: it is made without it.
#pragma once

#include <string_view>

#include "../platform/platform.h"

namespace vx {

// Whether the volume that holds the open `destination` keeps sparse files;
// yes where the platform or the volume cannot say.
bool KeepsSparseFiles(HANDLE destination);

// Whether it keeps named streams; where it does not, one NOTE a run for
// that volume names `subject` (the first object whose streams it leaves
// out).
bool KeepsNamedStreams(HANDLE destination, std::u16string_view subject);

}  // namespace vx
