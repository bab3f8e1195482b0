// /Verify: a file's copy compared with its source, byte for byte; nothing
// is written. A difference is a DIFF line, not an error.
#pragma once

#include "place.h"

namespace vx {

// Compares the file at `source` with its copy at `destination`. Returns 1
// where both were read (alike or not) and 0 after reporting an error.
int VerifyOneFile(const Place& source, const Place& destination);

// Compares a link's target (`target`, `target_bytes` as read from the
// source) or a special file's presence with the destination's.
int VerifyOneNode(const Place& source, const Place& destination, const void* target,
                  DWORD target_bytes, bool link);

}  // namespace vx
