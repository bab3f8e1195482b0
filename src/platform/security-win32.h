// Security descriptors the Windows backend builds for the objects it creates.
#pragma once

#include <vector>

namespace vx::win32 {

// Self-relative: owned by the run (the token's default owner), with a
// protected access list that lets in the run's user alone, so nothing is
// inherited from a parent someone else may change. Empty when the token
// cannot be read.
std::vector<unsigned char> PrivateDirectoryDescriptor();

// The access list a new directory below a parent of security `parent` gets:
// the parent's inheritable entries, or the token's default, as the system
// computes them at a create. `out` is left empty when the computation gives
// no access list. False on failure, with the last error set.
bool NewDirectoryDescriptor(const void* parent, std::vector<unsigned char>* out);

// Whether NewDirectoryDescriptor computes access lists here. Where it does
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
