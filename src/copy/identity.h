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

// A file index of 0 or of all ones is no identity: FAT, exFAT and some SMB
// servers give one for every file, and two such files are not the same.
inline FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  const bool zero = info.nFileIndexHigh == 0 && info.nFileIndexLow == 0;
  const bool ones = info.nFileIndexHigh == 0xFFFFFFFF && info.nFileIndexLow == 0xFFFFFFFF;
  return FileIdentity{!zero && !ones, info.dwVolumeSerialNumber, info.nFileIndexHigh,
                      info.nFileIndexLow};
}

// Two unknown identities are never the same.
inline bool SameObject(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.volume == b.volume && a.index_high == b.index_high &&
         a.index_low == b.index_low;
}

}  // namespace vx
