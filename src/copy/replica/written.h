// What the run has put in one destination directory: the identities of the
// files and directories it created or replaced there. A later source entry
// whose destination name leads to one of them (names that differ only in
// case, on a destination that ignores case) would otherwise overwrite or
// merge into the first copy. With /Mirror it also keeps every object the
// run matched to a source entry there (written, skipped, entered, kept):
// whatever names compare to, such an object is never removed. The walk and
// the workers add to it at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../identity.h"

namespace vx {

class WrittenObjects {
 public:
  void Add(const FileIdentity& identity) {
    if (!identity.known) return;
    std::lock_guard<std::mutex> lock(mutex_);
    identities_.insert(identity);
    any_.store(true, std::memory_order_release);
  }
  // Takes the existing object `identity` for replacement by the copy of the
  // name `name`: false, with that name in `*holder`, where another name
  // took it first, whichever thread that was (a name tried again takes it
  // again).
  bool Claim(const FileIdentity& identity, std::u16string_view name, std::u16string* holder) {
    if (!identity.known) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto [claim, added] = claims_.try_emplace(identity, name);
    if (added || claim->second == name) return true;
    *holder = claim->second;
    return false;
  }
  bool Contains(const FileIdentity& identity) const {
    // Asked of every file met; on a rerun that writes nothing, nothing
    // was added, and no lock is needed to say so.
    if (!identity.known || !any_.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return identities_.count(identity) != 0;
  }
  // Noted as cheaply as can be (a skipped file costs one), looked up
  // rarely: only for a name that is not the source's.
  void Match(const FileIdentity& identity) {
    if (!identity.known) return;
    std::lock_guard<std::mutex> lock(mutex_);
    matched_.push_back(identity);
    matched_sorted_ = false;
  }
  bool Matched(const FileIdentity& identity) const {
    if (!identity.known) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!matched_sorted_) {
      std::sort(matched_.begin(), matched_.end(), IndexOrder);
      matched_sorted_ = true;
    }
    auto [first, last] = std::equal_range(matched_.begin(), matched_.end(), identity, IndexOrder);
    return std::any_of(first, last,
                       [&](const FileIdentity& kept) { return SameObject(kept, identity); });
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
  std::atomic<bool> any_{false};
  std::unordered_map<FileIdentity, std::u16string, Hash, Equal> claims_;
  static bool IndexOrder(const FileIdentity& a, const FileIdentity& b) {
    return std::tie(a.volume, a.index_high, a.index_low) <
           std::tie(b.volume, b.index_high, b.index_low);
  }
  mutable std::vector<FileIdentity> matched_;
  mutable bool matched_sorted_ = true;
};

}  // namespace vx
