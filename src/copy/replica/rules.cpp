#include "rules.h"

namespace vx {

// A directory the run has just made holds only what the run put there (a
// name taken when the file is put in place is a collision). Another kind
// at the name is replaced only where /Mirror may remove it. A file the run
// already put in the directory under another name (a case-folded twin) is
// never taken for this one's copy; the source itself and the run's own
// logs are never replaced.
NameAction DecideOnName(const NameFacts& facts) {
  if (facts.parent_is_new) return NameAction::kCopyNew;
  if (!facts.at_name) return NameAction::kAskAtName;
  switch (*facts.at_name) {
    case AtName::kNothing:
      return NameAction::kCopyNew;
    case AtName::kDirectory:
    case AtName::kUnresolved:
      return facts.may_replace_kind ? NameAction::kReplaceKind : NameAction::kKeepKind;
    case AtName::kFile:
      break;
  }
  if (!facts.written_here) return NameAction::kAskWrittenHere;
  if (*facts.written_here) return NameAction::kCollision;
  if (!facts.compares) return NameAction::kKeep;
  if (!facts.same_file) return NameAction::kAskSameFile;
  if (*facts.same_file) return NameAction::kSameFile;
  if (!facts.run_output) return NameAction::kAskRunOutput;
  return *facts.run_output ? NameAction::kKeepRunOutput : NameAction::kCompare;
}

// A directory's name is made where nothing is (the root only on request);
// one there already is the copy only under a mode that takes it, since
// without one a run copies into fresh names only. Another kind there is
// replaced only where /Mirror may remove it.
DirectoryAction DecideOnDirectory(const DirectoryFacts& facts) {
  if (!facts.at_name) {
    return facts.parent_is_new || (facts.make && !facts.takes_existing)
               ? DirectoryAction::kMake
               : DirectoryAction::kAskAtName;
  }
  if (facts.parent_is_new) {
    return *facts.at_name == AtName::kNothing ? DirectoryAction::kMake
                                              : DirectoryAction::kCollision;
  }
  switch (*facts.at_name) {
    case AtName::kNothing:
      return facts.make ? DirectoryAction::kMake : DirectoryAction::kCannotOpen;
    case AtName::kDirectory:
      return !facts.make || facts.takes_existing ? DirectoryAction::kTakeExisting
                                                 : DirectoryAction::kRefuseExisting;
    case AtName::kFile:
    case AtName::kUnresolved:
      break;
  }
  if (!facts.make) return DirectoryAction::kCannotOpen;
  if (facts.verify) return DirectoryAction::kDifference;
  if (facts.may_replace_kind) return DirectoryAction::kReplaceKind;
  return facts.takes_existing ? DirectoryAction::kCannotOpen : DirectoryAction::kRefuseExisting;
}

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
