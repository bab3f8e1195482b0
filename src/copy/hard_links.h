// With /HardLinks: where this run put the copy of each source file that has
// more than one name, so that its other names become names of that copy.
// Only multi-name files are kept.
#pragma once

#include <string>
#include <unordered_map>

#include "identity.h"

namespace vx {

class HardLinkedCopies {
 public:
  struct Copy {
    std::u16string path;    // the copy's full path
    FileIdentity identity;  // the copy's identity, to tell it from whatever is there later
  };
  const Copy* Find(const FileIdentity& source) const {
    auto it = copies_.find(Key(source));
    return it == copies_.end() ? nullptr : &it->second;
  }
  void Remember(const FileIdentity& source, const std::u16string& path,
                const FileIdentity& identity) {
    if (source.known && identity.known) copies_[Key(source)] = Copy{path, identity};
  }
  void Clear() { copies_.clear(); }

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
  std::unordered_map<std::string, Copy> copies_;
};

}  // namespace vx
