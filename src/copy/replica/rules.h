// The replica's rules, decided in one place from facts gathered before:
// what a file's destination name may hold for the file to go there, whether
// a file found there is copied again, what a directory's name may hold, and what
// /Mirror may remove. Every place that copies over, removes an entry (what
// the source no longer has) or replaces one of another kind asks here, and
// counts, reports and writes where it carries the answer out. No I/O, no
// counters, no reports.
#pragma once

#include <optional>

namespace vx {

// What a source file's destination name holds, once looked at.
enum class AtName {
  kNothing,     // not found
  kFile,        // a file, or a link or special file looked at as itself
  kDirectory,   // a directory (not a directory link kept as a link)
  kUnresolved,  // a link the run may not follow, so no file it could take
};

// The safety checks before a file's copy, on what its destination name
// holds.
struct NameFacts {
  bool parent_is_new = false;     // the run has just made the directory
  bool may_replace_kind = false;  // /Mirror may remove what is at the name
  bool compares = false;          // /OnlyNewer or /Overwrite: a file there may be replaced
  // Asked only where they decide (each costs a look):
  std::optional<AtName> at_name;
  std::optional<bool> written_here;  // an object the run put in the directory by another name
  std::optional<bool> same_file;     // the source itself
  std::optional<bool> run_output;    // one of the run's own logs
};

enum class NameAction {
  kCopyNew,        // nothing there: copied as new
  kReplaceKind,    // another kind, removed: the file copied as new
  kKeepKind,       // another kind, kept: one ERR
  kCollision,      // two source names for one destination object: one ERR
  kSameFile,       // the copy would read what it replaces: one ERR
  kKeepRunOutput,  // a log of the run: passed over without a word
  kKeep,           // a file, kept: neither mode copies again
  kCompare,        // a file: DecideOnFile says
  kAskAtName,
  kAskWrittenHere,
  kAskSameFile,
  kAskRunOutput,
};

NameAction DecideOnName(const NameFacts& facts);

// A source directory's destination name.
struct DirectoryFacts {
  bool make = false;  // made where missing: not the root without /CreateDestinationDirectory
  bool parent_is_new = false;
  bool takes_existing = false;  // /Overwrite, /OnlyNewer or /Verify: an existing one is the copy
  bool verify = false;
  bool may_replace_kind = false;
  // Asked only where it decides: where the name is made whatever it holds
  // (unless taken), the make is the look, and a name taken tells.
  std::optional<AtName> at_name;
};

enum class DirectoryAction {
  kMake,            // made (a make that finds the name taken tells at_name)
  kTakeExisting,    // the directory there is the copy
  kReplaceKind,     // another kind, removed, and the directory made
  kCollision,       // taken in a directory the run has just made: one ERR
  kRefuseExisting,  // already there, and no mode takes it: one ERR
  kCannotOpen,      // missing where not made, or another kind kept: one ERR
  kDifference,      // /Verify: another kind, its subtree missing
  kAskAtName,
};

DirectoryAction DecideOnDirectory(const DirectoryFacts& facts);

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
