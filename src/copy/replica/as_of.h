// A tree as it was: /AsOf:<time> with /Source:<replica> /History:<folder>
// writes the replica as it stood at <time>. For each path the first run
// that started after <time> and changed it decides: a version it replaced
// or removed is taken from its run folder; one it made new is left out; an
// untouched path is the replica's own. Directories get back the times the
// first later run found them with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../../platform/platform.h"

namespace vx {

enum class Change { kNew, kReplaced, kRemoved, kTimes };

struct ManifestEntry {
  std::u16string path;  // below the destination root; empty: the root
  Change change = Change::kNew;
  FILETIME times[3] = {};  // kTimes: creation, last access, last write
};

// One run's manifest.
struct ManifestRun {
  uint64_t start = 0;   // FILETIME ticks
  std::u16string name;  // its run folder's
  std::vector<ManifestEntry> entries;
};

struct AsOfPlan {
  // Per run folder (oldest first), the paths taken from it.
  struct Taken {
    std::u16string folder;
    std::vector<std::u16string> paths;
  };
  std::vector<Taken> taken;
  // Paths made after the time, and every path taken from a run folder: the
  // replica's own entry there is not the one of the time.
  std::vector<std::u16string> left_out;
  std::vector<std::u16string> taken_paths;
  // Directories whose times changed after the time, as they were.
  std::vector<ManifestEntry> directory_times;
};

// Decides from the manifests, ordered by start, what the tree at `as_of`
// takes from where. Pure.
AsOfPlan DecideAsOf(const std::vector<ManifestRun>& runs, uint64_t as_of);

// A time as the operator gives it: a run folder's form (2026-12-09T020000Z)
// or ISO 8601 in UTC (2026-12-09T02:00:00Z, fractions of a second allowed).
bool TimeFromText(std::u16string_view text, uint64_t* ticks);

// Reads every manifest of the history folder at `history`, ordered by
// start. False after reporting.
bool ReadManifests(const std::u16string& history, std::vector<ManifestRun>* runs);

// Parses one manifest's bytes. False where its first line is no start.
bool ParseManifest(std::string_view bytes, ManifestRun* run);

}  // namespace vx
