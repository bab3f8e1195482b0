// Whether the run was asked to stop. The request only raises a flag (the
// run's handler raises it); the walk notices it at
// the next chunk or entry, drops the file it was writing (the destination
// name keeps its old file), reports ERROR_OPERATION_ABORTED once and
// unwinds as under /StopAtFirstError.
#pragma once

#include <string_view>

namespace vx {

// Raises the flag; returns how many requests came before this one.
int RaiseStopRequest();
// Clears the flag and whether it was reported, for a new run.
void ClearStopRequests();

// Whether a stop was asked for. The first call that finds it so, for the
// whole run, reports it: one ERR line with ERROR_OPERATION_ABORTED naming
// `subject`.
bool NoticeStop(std::u16string_view subject, std::u16string_view context);
bool StopRequested();

}  // namespace vx
