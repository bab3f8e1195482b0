// Where the walk finds an object: the open directory that holds it and its
// own name there. Every object below a root is opened relative to its
// parent's handle, never by its full path, so a directory renamed or swapped
// for a link while the walk runs cannot redirect what comes after it, and
// depth and path length are bounded by the file system alone. The full path
// is kept for the reports.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "../platform/platform.h"

namespace vx {

class WrittenObjects;

struct Place {
  HANDLE parent;               // the open parent directory; nullptr for a root
  const std::u16string& path;  // the full path the reports name
  size_t name_at;              // where the object's own name starts in `path`
  // The parent was just created by this run and no one else can change it:
  // every name found taken there was taken by the run itself.
  bool parent_is_new = false;
  // What the run has put in the parent so far (destination side only).
  WrittenObjects* written = nullptr;
  // The source entry is a link the walk follows: what it leads to is read
  // only where the link's owner could read it anyway.
  bool through_link = false;
  // The source's directory is on another volume than the replica records
  // (destination side only): /Mirror removes nothing in the parent.
  bool keeps_all = false;

  const char16_t* Name() const { return path.c_str() + name_at; }
};

// The same place, its full path held in `path` (a string of the holder's
// own, where the walk's path moves on).
inline Place WithPath(const Place& place, const std::u16string& path) {
  return Place{place.parent,        path,          place.name_at, place.parent_is_new,
               place.written, place.through_link, place.keeps_all};
}

// The same place under another parent handle.
inline Place WithParent(const Place& place, HANDLE parent) {
  return Place{parent,        place.path,         place.name_at, place.parent_is_new,
               place.written, place.through_link, place.keeps_all};
}

// Puts `moved` where `place` is: a place names its path by reference, so a
// holder whose place must change replaces it whole.
inline void Reseat(Place* place, const Place& moved) {
  std::destroy_at(place);
  std::construct_at(place, moved);
}

// A root, opened by its full path.
inline Place RootPlace(const std::u16string& path) {
  return Place{nullptr, path, 0};
}

// `directory` and `name` joined by one separator: none is added where the
// directory already ends with one (a drive root such as "\\?\D:\", or a
// typed trailing separator).
// The first form writes into `joined`, whose memory a walk reuses entry
// after entry.
inline void JoinPath(std::u16string_view directory, std::u16string_view name,
                     std::u16string* joined) {
  joined->assign(directory);
  if (joined->empty() || joined->back() != kPathSeparator) joined->push_back(kPathSeparator);
  joined->append(name);
}

inline std::u16string JoinPath(std::u16string_view directory, std::u16string_view name) {
  std::u16string joined;
  joined.reserve(directory.size() + 1 + name.size());
  JoinPath(directory, name, &joined);
  return joined;
}

// The entry `name` of the directory open as `parent`, whose full path
// `path` is JoinPath(directory path, name).
inline Place EntryPlace(HANDLE parent, const std::u16string& path, size_t name_length,
                        bool parent_is_new = false, WrittenObjects* written = nullptr) {
  return Place{parent, path, path.size() - name_length, parent_is_new, written};
}

}  // namespace vx
