// /Verify: a file's copy compared with its source, byte for byte; nothing
// is written. A difference is a DIFF line, not an error.
#pragma once

#include "../place.h"

namespace vx {

// Compares the file at `source` with its copy at `destination`: bytes, and
// what the options carry besides (owner, group and mode; the rest of the
// security; the write time), one DIFF line for each kind of difference.
// Returns 1 where both were read (alike or not) and 0 after reporting an
// error.
int VerifyOneFile(const Place& source, const Place& destination);

// Compares a link's target (`target`, `target_bytes` as read from the
// source) or a special file's kind with the destination's, and what the
// options carry of the node `node` (never opened for data).
int VerifyOneNode(const Place& source, const Place& destination, HANDLE node,
                  const BY_HANDLE_FILE_INFORMATION& node_info, const void* target,
                  DWORD target_bytes, bool link);

}  // namespace vx
