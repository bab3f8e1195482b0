#include "rules.h"

namespace vx {

// Without /OnlyNewer or /Overwrite a file at the name is kept. /OnlyNewer
// copies a later source and, for a mirror (the source's copy, not the
// newest version seen), an earlier one too, an older version restored at
// the source; another size with the same time is damage (a crash: a copy
// gets its source's time only once all its data is in). So is whatever
// changed while a run that never ended wrote; and a kept link whose target
// changed (retargeting changes neither time nor size).
FileAction DecideOnFile(const FileFacts& facts) {
  if (facts.overwrite) return FileAction::kOverwritten;
  if (!facts.only_newer) return FileAction::kSkip;
  const bool by_time = facts.mirror ? facts.order != 0 || facts.other_size
                                    : facts.order > 0 || (facts.order == 0 && facts.other_size);
  if (by_time) return FileAction::kNewer;
  if (!facts.changed_in_unfinished_run) return FileAction::kAskUnfinishedRun;
  if (*facts.changed_in_unfinished_run) return FileAction::kNewer;
  if (!facts.both_links) return FileAction::kSkip;
  if (!facts.link_targets_differ) return FileAction::kAskLinkTargets;
  return *facts.link_targets_differ ? FileAction::kNewer : FileAction::kSkip;
}

Removal MayRemove(const RemovalFacts& facts) {
  if (!(facts.mirror || facts.verify) || facts.keeps_all || !facts.listed_whole || facts.names_unsure ||
      facts.stop_requested || facts.excluded) {
    return Removal::kKeep;
  }
  if (facts.verify) return Removal::kDifference;
  if (facts.source_root_empty) return Removal::kEmptySource;
  return Removal::kRemove;
}

}  // namespace vx
