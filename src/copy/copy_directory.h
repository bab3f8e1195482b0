#pragma once

#include <string>

namespace vx {

// Copies the source root to the destination root and, with /SubDirectories,
// everything below it, depth-first in listing order. Returns 1 when the
// root's own steps succeeded, 0 after a failure of its own or, with
// /StopAtFirstError, of any entry.
int CopyOneDirectory(const std::u16string& source_root);

}  // namespace vx
