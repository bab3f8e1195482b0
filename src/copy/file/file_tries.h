#pragma once

#include "../place.h"

namespace vx {

// Copies one file (CopyOneFile) and, with /Retry:, tries it again after a
// transient failure (a WAIT line), /Wait: seconds later, from its start and
// with the failed try's counts undone; only the last try's failure is an
// ERR. A stop request during the wait reports the failure kept.
int CopyFileTrying(const Place& source, const Place& destination);

}  // namespace vx
