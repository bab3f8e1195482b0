// With /HardLinks: where this run put the copy of each source file that has
// more than one name, so that its other names become names of that copy.
// Only multi-name files are kept.
//
// Workers may meet two names of one file at once: the first to ask claims
// the file, and the others wait until its copy is remembered or the claim
// given up, so each file is copied once and its other names linked to it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "../identity.h"

namespace vx {

class HardLinkedCopies {
 public:
  struct Copy {
    std::u16string path;    // the copy's full path
    FileIdentity identity;  // the copy's identity, to tell it from whatever is there later
  };
  // The copy of `source` made so far; where there is none, the caller
  // holds the claim on it until Remember or GiveUp.
  std::optional<Copy> FindOrClaim(const FileIdentity& source) {
    if (!source.known) return std::nullopt;
    const std::string key = Key(source);
    std::unique_lock<std::mutex> lock(mutex_);
    settled_.wait(lock, [&] { return claims_.count(key) == 0; });
    auto it = copies_.find(key);
    if (it != copies_.end()) return it->second;
    claims_.insert(key);
    return std::nullopt;
  }
  // Ends the claim on `source`, its copy now known (where both identities
  // are).
  void Remember(const FileIdentity& source, const std::u16string& path,
                const FileIdentity& identity) {
    if (!source.known) return;
    const std::string key = Key(source);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (identity.known) copies_[key] = Copy{path, identity};
      claims_.erase(key);
    }
    settled_.notify_all();
  }
  // Ends the claim on `source` without a copy: the next name copies it.
  void GiveUp(const FileIdentity& source) {
    if (!source.known) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      claims_.erase(Key(source));
    }
    settled_.notify_all();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    copies_.clear();
    claims_.clear();
  }

 private:
  // The source's identity as one key: its 128-bit identifier where it has
  // one, else its volume and index (Linux: device and inode).
  static std::string Key(const FileIdentity& identity) {
    std::string key;
    auto append = [&key](const void* bytes, size_t size) {
      key.append(static_cast<const char*>(bytes), size);
    };
    if (identity.has_id) {
      append(&identity.id_volume, sizeof identity.id_volume);
      append(identity.id, sizeof identity.id);
    } else {
      append(&identity.volume, sizeof identity.volume);
      append(&identity.index_high, sizeof identity.index_high);
      append(&identity.index_low, sizeof identity.index_low);
    }
    return key;
  }
  std::mutex mutex_;
  std::condition_variable settled_;
  std::unordered_map<std::string, Copy> copies_;
  std::unordered_set<std::string> claims_;
};

}  // namespace vx
