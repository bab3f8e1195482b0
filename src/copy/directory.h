// What the replica's rules and records know of one directory being
// copied: its two places and handles, what its source held and how its
// destination compares names, and the volumes and marks that decide what
// may be removed below it. The walk's level (walk/walk_levels.h) adds where
// the walk is in its listing.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../platform/platform.h"
#include "identity.h"
#include "place.h"
#include "replica/written.h"

namespace vx {

// A set of names that a name's view looks up without a copy.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view name) const {
    return std::hash<std::u16string_view>()(name);
  }
};
using NameSet = std::unordered_set<std::u16string, NameHash, std::equal_to<>>;

struct Directory {
  Directory(const Place& source_place, const Place& destination_place)
      : source(source_place), destination(destination_place) {}
  Place source;
  Place destination;
  std::u16string own_source_path;
  std::u16string own_destination_path;
  // Points the places at copies of the paths they name now, which the walk
  // is about to move past.
  void KeepOwnPaths() {
    own_source_path = source.path;
    own_destination_path = destination.path;
    Reseat(&source, WithPath(source, own_source_path));
    Reseat(&destination, WithPath(destination, own_destination_path));
  }
  HANDLE source_handle = INVALID_HANDLE_VALUE;
  HANDLE destination_handle = INVALID_HANDLE_VALUE;
  bool created = false;
  // Created by this run, so whatever name is taken in it the run took:
  // not so with /Files:, whose runs (several at once) share directories.
  bool private_to_run = false;
  BY_HANDLE_FILE_INFORMATION info;
  std::vector<unsigned char> descriptor;  // the source's, with /SecurityDescriptor
  FileIdentity source_identity;
  FileIdentity destination_identity;
  WrittenObjects written;
  // With /Mirror: the names the source listing held, as the destination
  // directory compares names (`names_ignore_case`); where that differs
  // from a name, the name itself too.
  NameSet source_names;
  std::unordered_map<std::u16string, std::u16string> source_spellings;
  bool names_ignore_case = false;
  // With /Mirror: nothing below this directory is removed (its source is a
  // mount point that came or went since the last run, or on another volume
  // than the replica records).
  bool keep_all = false;
  // With /Mirror: a source name could not be compared, so this directory's
  // removals are unsure and none is made.
  bool names_unsure = false;
  // Whether the source directory is on another volume than its parent's,
  // and whether the replica's mark says it was at the last run.
  bool mounted_here = false;
  bool was_mounted_here = false;
  std::string recorded_volume;  // the mark's value, where it was read
  // Whether its destination is the run's root or another volume's top: what
  // was written there is made durable when it is left.
  bool flush_at_leave = false;
  uint64_t changes_at_enter = 0;  // the write gate's count as it was entered
  DWORD destination_volume = 0;
  // An existing directory left private by a run that never finished it.
  bool heal_security = false;
  // Whether its security and attributes are compared with the source's
  // and set where they differ: made by the run, or one that existed and
  // may differ (MetadataMayDiffer).
  bool compares_metadata = true;
  // An existing destination directory as the run found it, before anything
  // in it changed (with /History: its times go to the manifest).
  bool found_known = false;
  BY_HANDLE_FILE_INFORMATION found_info{};
};

}  // namespace vx
