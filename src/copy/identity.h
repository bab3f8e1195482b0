// What makes two paths the same object: the volume and the file index (on
// Linux the device and the inode), never the path strings, which aliases,
// links and "." make unreliable.
#pragma once

#include "../platform/platform.h"

namespace vx {

struct FileIdentity {
  bool known = false;
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
};

inline FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileIdentity{true, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// Two unknown identities are never the same.
inline bool SameObject(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.volume == b.volume && a.index_high == b.index_high &&
         a.index_low == b.index_low;
}

}  // namespace vx
