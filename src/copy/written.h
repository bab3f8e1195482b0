// What the run has put in one destination directory: the identities of the
// files and directories it created or replaced there. A later source entry
// whose destination name leads to one of them (names that differ only in
// case, on a destination that ignores case) would otherwise overwrite or
// merge into the first copy. With /Mirror it also keeps every object the
// run matched to a source entry there (written, skipped, entered, kept),
// with that entry's name: whatever names compare to, such an object is
// never removed. The walk and the workers add to it at once.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "identity.h"

namespace vx {

class WrittenObjects {
 public:
  void Add(const FileIdentity& identity) {
    if (!identity.known) return;
    std::lock_guard<std::mutex> lock(mutex_);
    identities_.insert(identity);
  }
  bool Contains(const FileIdentity& identity) const {
    if (!identity.known) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return identities_.count(identity) != 0;
  }
  void Match(const FileIdentity& identity, std::u16string_view source_name) {
    if (!identity.known) return;
    std::lock_guard<std::mutex> lock(mutex_);
    matched_[identity] = std::u16string(source_name);
  }
  // The name of the source entry `identity` was matched to, if any.
  std::optional<std::u16string> MatchedName(const FileIdentity& identity) const {
    if (!identity.known) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = matched_.find(identity);
    if (found == matched_.end()) return std::nullopt;
    return found->second;
  }

 private:
  struct Hash {
    size_t operator()(const FileIdentity& identity) const {
      return (size_t{identity.index_high} << 32 | identity.index_low) * 31 + identity.volume;
    }
  };
  struct Equal {
    bool operator()(const FileIdentity& a, const FileIdentity& b) const { return SameObject(a, b); }
  };
  mutable std::mutex mutex_;
  std::unordered_set<FileIdentity, Hash, Equal> identities_;
  std::unordered_map<FileIdentity, std::u16string, Hash, Equal> matched_;
};

}  // namespace vx
