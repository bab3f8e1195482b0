// Keeping history for a number of days (history.h names the folders).
#pragma once

#include <cstdint>
#include <string>

#include "../../platform/platform.h"

namespace vx {

// Removes the run folders and manifests of the history open as `root` that
// started more than /HistoryDays: before this run, oldest first, one DEL
// line each, never the newest folder nor this run's own.
void PruneHistory(HANDLE root, const std::u16string& this_run);

// The bytes the files below `directory` hold; its handle is closed.
uint64_t BytesBelow(HANDLE directory);

}  // namespace vx
