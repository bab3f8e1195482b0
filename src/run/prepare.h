#pragma once

namespace vx {

// Opens the log files, echoes the settings, binds the two ntdll entry
// points, enables the privileges and allocates the copy buffer. Returns
// false after a fatal failure, whose message has been printed.
bool PrepareRun();

}  // namespace vx
