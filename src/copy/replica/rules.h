// What a /Mirror run may remove, decided in one place from facts gathered
// before: every place that removes an entry (what the source no longer
// has) or replaces one of another kind (a directory where a file goes, a
// file where a directory goes) asks here, and counts, reports and removes
// where it carries the answer out. No I/O, no counters, no reports.
#pragma once

namespace vx {

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
