// What the walk keeps for a run beyond its own levels: the patterns it
// leaves out, the copies of multi-name files made so far, and the objects
// it must never copy, copy over or remove. The run prepares them before the
// walk starts.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "walk/exclude.h"
#include "file/hard_links.h"
#include "identity.h"
#include "walk/file_list.h"

namespace vx {

struct WalkRegistries {
  // /Exclude:'s patterns, prepared.
  ExcludePatterns Excludes;
  // /Files:'s entries, read.
  FileList Files;
  // With /HardLinks: the copies of multi-name source files made so far.
  HardLinkedCopies HardLinkCopies;
  // The open log files' identities, so the walk neither copies them nor
  // copies over them; unknown when absent.
  FileIdentity LogIdentity;
  FileIdentity ErrorLogIdentity;
  FileIdentity JsonLogIdentity;
  // The directories /Mirror never removes, by identity: every directory
  // from the source root, the Log and the ErrorLog up to the top of their
  // trees.
  std::vector<FileIdentity> ProtectedDirectories;
  // Paths below the source root the walk leaves as if absent (a restore as
  // of an earlier night takes them from elsewhere, or not at all).
  std::unordered_set<std::u16string> Skipped;
};

extern WalkRegistries Registries;

// Empties every registry, for a new run.
void ResetRegistries();

}  // namespace vx
