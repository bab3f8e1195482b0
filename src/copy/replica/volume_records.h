// The volumes a replica records: which volume its source root was on, and
// which source directories were mount points, so that a volume that is not
// mounted tonight (an empty mount point, one holding a stray file) is never
// taken for a source that lost everything.
#pragma once

#include <string>

#include "../../platform/platform.h"

namespace vx {

struct Directory;

// At the root: compares the source root's volume with the one the
// destination root records, and records tonight's where there is none yet
// or the change is accepted (/AcceptVolume). A volume other than the
// recorded one under /Mirror is one ERR, and nothing below the root is
// removed (`keep_all`). False only where the record could not be written,
// after reporting.
bool CheckSourceRootVolume(Directory* directory, HANDLE destination_root);

// Below the root, for a directory the destination already held: whether
// its source is a mount point as the replica's mark says it was, on the
// volume recorded. A change under /Mirror is one ERR and nothing below it is
// removed.
void CheckMountPoint(Directory* directory, HANDLE destination);

// Keeps a finished replica directory's mark up to date with tonight's mount
// point (every run that writes). A mark that differs from tonight's stays
// until the change is accepted. False after reporting.
bool KeepMountMark(const Directory& directory);

}  // namespace vx
