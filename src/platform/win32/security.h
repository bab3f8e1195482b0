// Security descriptors the Windows backend builds for the objects it creates.
#pragma once

#include <utility>
#include <vector>

namespace vx::win32 {

// Self-relative: owned by the run (the token's default owner), with a
// protected access list that lets in the run's user alone, so nothing is
// inherited from a parent someone else may change. Empty when the token
// cannot be read.
std::vector<unsigned char> PrivateDirectoryDescriptor();

// What a new object (a directory where `container`) gets below a parent of
// final security `parent` (empty: none known, the token's default), as a
// plain create there: the parent's inheritable entries, CREATOR OWNER and
// CREATOR GROUP taken as the owner and group of `own` (the object's real
// ones, which on a share are not the local token's). `out` is left empty
// where the computation gives no access list.
bool InheritedDescriptor(const std::vector<unsigned char>& parent,
                         const std::vector<unsigned char>& own, bool container,
                         std::vector<unsigned char>* out);

// Whether a descriptor is the private one the run gives what it fills.
bool IsPrivateDescriptor(const void* descriptor);

// The descriptor a directory will hold once the run has finished it: its
// own where it is not private to the run, else what a new directory gets in
// its parent's final descriptor, and so on up: a child is finished before
// its parent, whose own descriptor is then still the private one. `ops`
// reads a directory's descriptor (read), tells the run's private one by
// the directory and its descriptor (is_private: the shape alone is also an
// administrator's), opens a directory's parent (open_parent: kOpened, kTop at
// the top of the tree, kFailed where it cannot be opened) and closes it,
// and computes what a new directory gets (inherit, as InheritedDescriptor).
// A parent that cannot be opened fails it: taken for the top, it would give
// what a directory gets from no parent at all, which may be more open.
// FinalDescriptorFrom takes the directory's own descriptor, already read.
enum class ParentOpen { kOpened, kTop, kFailed };
template <typename Directory, typename Ops>
bool FinalDescriptorFrom(Directory directory, std::vector<unsigned char> own, Ops& ops,
                         std::vector<unsigned char>* out);

template <typename Directory, typename Ops>
bool FinalDescriptorOf(Directory directory, Ops& ops, std::vector<unsigned char>* out) {
  std::vector<unsigned char> own;
  return ops.read(directory, &own) && FinalDescriptorFrom(directory, std::move(own), ops, out);
}

template <typename Directory, typename Ops>
bool FinalDescriptorFrom(Directory directory, std::vector<unsigned char> own, Ops& ops,
                         std::vector<unsigned char>* out) {
  if (!ops.is_private(directory, own)) {
    *out = std::move(own);
    return true;
  }
  std::vector<unsigned char> parent_final;
  Directory parent{};
  switch (ops.open_parent(directory, &parent)) {
    case ParentOpen::kOpened: {
      const bool known = FinalDescriptorOf(parent, ops, &parent_final);
      ops.close(parent);
      if (!known) return false;
      break;
    }
    case ParentOpen::kTop:
      break;
    case ParentOpen::kFailed:
      return false;
  }
  return ops.inherit(parent_final, own, true, out);
}

// Whether InheritedDescriptor computes access lists here. Where it does
// not (Wine), a directory is never made private, since nothing could give it
// what a new directory gets afterwards.
bool ComputesInheritance();

// Whether the object's owner is the token's owner for new objects.
bool IsOwnedByRunner(void* object, int* owned);

// Whether a directory carries the private state PrivateDirectoryDescriptor
// gives: a protected access list of one entry, the token user's.
bool IsPrivateDirectory(void* directory, int* is_private);

// Whether the owner of the reparse point open as `link` is SYSTEM, the
// Administrators or the owner of the object open as `target`.
bool MayFollowLink(void* link, void* target, int* may);

}  // namespace vx::win32
