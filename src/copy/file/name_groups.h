// With /HardLinks: the names of one source file kept one object at the
// destination.
#pragma once

#include <string>

#include "../../platform/platform.h"
#include "../identity.h"
#include "../place.h"
#include "../registries.h"

namespace vx {

enum class Linked { kNo, kYes, kFailed };

// A claim on a multi-name source file while its copy is made: settled with
// the copy, or given up however the copy ends otherwise.
struct HardLinkClaim {
  const FileIdentity* source = nullptr;
  HardLinkClaim() = default;
  HardLinkClaim(const HardLinkClaim&) = delete;
  HardLinkClaim& operator=(const HardLinkClaim&) = delete;
  ~HardLinkClaim() {
    if (source != nullptr) Registries.HardLinkCopies.GiveUp(*source);
  }
  // Remembers `copy`, at `path`, as the copy of `source_file`.
  void Settle(const FileIdentity& source_file, const std::u16string& path,
              const FileIdentity& copy) {
    Registries.HardLinkCopies.Remember(source_file, path, copy);
    source = nullptr;
  }
};

// With /HardLinks, a name of a multi-name source about to be copied becomes
// one more name of the run's earlier copy where there is one (kYes, or
// kFailed after reporting; under /List nothing is linked and no bytes
// count). Where there is none, or it cannot be linked to (kNo), the caller
// copies it; without an earlier copy this name claims the file through
// `claim` until its copy is made, so that a worker meeting another name
// meanwhile waits for it.
Linked LinkOrClaim(HANDLE source_object, FileIdentity* source_identity, HardLinkClaim* claim,
                   const Place& source, const Place& destination, HANDLE* replaced);

// With /HardLinks, a rerun keeps each source group one object at the
// destination, whether its data changed or not: the first name met whose
// object is kept (`kept`, open as `*replaced`) becomes the group's copy; a
// later name that holds another object (a group split by a run cut short,
// or a name new to an unchanged file) is made one more name of that copy,
// under a temporary name renamed over it. kNo where nothing was to be done.
Linked JoinGroup(HANDLE source_object, FileIdentity* source_identity, const FileIdentity& kept,
                 const Place& source, const Place& destination, HANDLE* replaced);

}  // namespace vx
