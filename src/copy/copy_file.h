#pragma once

#include <string>

namespace vx {

// Copies one file: decides from the destination and /Overwrite, /OnlyNewer
// whether to copy, then moves data, time stamps and (with
// /SecurityDescriptor) the descriptor. Returns 1 when copied or skipped, 0
// after reporting one error.
int CopyOneFile(const std::u16string& source, const std::u16string& destination);

}  // namespace vx
