#pragma once

#include <string>

#include "run_settings.h"
#include "replica/as_of.h"

namespace vx {

// Copies the source root to the destination root and, with /SubDirectories,
// everything below it, depth-first in listing order. Returns 1 when the
// root's own steps succeeded, 0 after a failure of its own or, with
// /StopAtFirstError, of any entry.
int CopyOneDirectory(const std::u16string& source_root);

// What a run would change, decided whole before it changes anything: the
// walk as /List makes it, writing nothing and saying nothing. Returns the
// counts it ends with; the run's counters and state are left as before.
RunCounters PlanChanges(const std::u16string& source_root);

// /AsOf: the replica (the source root) as it was at the time the plan was
// made for, from the history's run folders. Returns 1 where every walk
// succeeded.
int RestoreAsOf(const AsOfPlan& plan);

}  // namespace vx
