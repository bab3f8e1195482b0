// The replica's rules, decided in one place from facts gathered before:
// whether a file found at its destination name is copied again, and what
// /Mirror may remove. Every place that copies over, removes an entry (what
// the source no longer has) or replaces one of another kind asks here, and
// counts, reports and writes where it carries the answer out. No I/O, no
// counters, no reports.
#pragma once

#include <optional>

namespace vx {

// A source file whose destination name holds a file (the safety checks
// done: no collision, not the source itself, not a log of the run).
struct FileFacts {
  bool only_newer = false;
  bool overwrite = false;
  bool mirror = false;
  int order = 0;  // the source's last write against the copy's: -1, 0 or 1
  bool other_size = false;
  bool both_links = false;  // links are kept, and both are links
  // Asked only where they decide (each costs a look at the copy):
  std::optional<bool> changed_in_unfinished_run;  // since a run that never ended began
  std::optional<bool> link_targets_differ;
};

enum class FileAction {
  kSkip,          // the copy is up to date (its metadata may still be refreshed)
  kNewer,         // copied again: /OnlyNewer's rule says so
  kOverwritten,   // copied again: /Overwrite
  kAskUnfinishedRun,  // fill in changed_in_unfinished_run, then ask again
  kAskLinkTargets,    // fill in link_targets_differ, then ask again
};

FileAction DecideOnFile(const FileFacts& facts);

struct RemovalFacts {
  bool mirror = false;    // /Mirror removes what the source lacks
  bool verify = false;    // /Verify reports it, and never removes
  // The source entry's directory is on another volume than the replica
  // records, or a mount point came or went there: its replica is no proof
  // of what the source lacks.
  bool keeps_all = false;
  // For an entry the source lacks: whether the source directory's listing
  // and the destination's were read whole, and every source name could be
  // compared.
  bool listed_whole = true;
  bool names_unsure = false;
  bool stop_requested = false;
  bool excluded = false;  // /Exclude: names the destination entry
  // The source root lists nothing while its copy holds something: what an
  // unmounted volume's mount point looks like.
  bool source_root_empty = false;
};

enum class Removal {
  kRemove,
  kKeep,
  kDifference,   // /Verify: said as a difference
  kEmptySource,  // one ERR for the source root; nothing removed
};

Removal MayRemove(const RemovalFacts& facts);

}  // namespace vx
