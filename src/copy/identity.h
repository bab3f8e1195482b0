// What makes two paths the same object: the volume and the file index (on
// Linux the device and the inode), never the path strings, which aliases,
// links and "." make unreliable. Where the platform has a 128-bit file
// identifier (Windows: ReFS's 64-bit index is not unique), it decides
// between objects whose index is the same.
#pragma once

#include <cstring>
#include <string>

#include "../platform/platform.h"

namespace vx {

struct FileIdentity {
  bool known = false;
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  bool has_id = false;  // the 128-bit identifier below is filled in
  uint64_t id_volume = 0;
  unsigned char id[16] = {};
};

namespace identity_detail {
inline bool AllBytes(const unsigned char* bytes, size_t count, unsigned char value) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}
}  // namespace identity_detail

// A file index of 0 or of all ones is no identity: FAT, exFAT and some SMB
// servers give one for every file, and two such files are not the same.
inline FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  const bool zero = info.nFileIndexHigh == 0 && info.nFileIndexLow == 0;
  const bool ones = info.nFileIndexHigh == 0xFFFFFFFF && info.nFileIndexLow == 0xFFFFFFFF;
  FileIdentity identity;
  identity.known = !zero && !ones;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index_high = info.nFileIndexHigh;
  identity.index_low = info.nFileIndexLow;
  return identity;
}

// Adds the 128-bit identifier of the object open as `file`, where the
// platform has one; an identifier of 0 or all ones is none. A failed query
// leaves the identity as it was.
inline void CompleteIdentity(HANDLE file, FileIdentity* identity) {
  FILE_ID_INFO info;
  if (identity->has_id || Os().GetFileIdInfo == nullptr || !Os().GetFileIdInfo(file, &info)) {
    return;
  }
  if (identity_detail::AllBytes(info.FileId, sizeof info.FileId, 0) ||
      identity_detail::AllBytes(info.FileId, sizeof info.FileId, 0xFF)) {
    identity->known = false;
    return;
  }
  identity->has_id = true;
  identity->id_volume = info.VolumeSerialNumber;
  std::memcpy(identity->id, info.FileId, sizeof identity->id);
  identity->known = true;
}

inline FileIdentity IdentityOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info) {
  FileIdentity identity = IdentityOf(info);
  CompleteIdentity(file, &identity);
  return identity;
}

// Two unknown identities are never the same. The 64-bit index decides
// unless both identities carry the 128-bit identifier; callers complete
// both where the index alone says "the same".
inline bool SameObject(const FileIdentity& a, const FileIdentity& b) {
  if (!a.known || !b.known) return false;
  if (a.has_id && b.has_id) {
    return a.id_volume == b.id_volume && std::memcmp(a.id, b.id, sizeof a.id) == 0;
  }
  return a.volume == b.volume && a.index_high == b.index_high && a.index_low == b.index_low;
}

// The final path of an object, as the system resolved it; empty where the
// platform has none or the query fails.
inline std::u16string FinalPathOf(HANDLE file) {
  if (Os().GetFinalPathNameByHandleW == nullptr) return {};
  std::u16string path(260, u'\0');
  DWORD length = Os().GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()));
  if (length >= path.size()) {
    path.resize(length);
    length = Os().GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()));
    if (length >= path.size()) length = 0;
  }
  path.resize(length);
  return path;
}

// Whether two open objects are one: by identity where both are known, else
// by their final paths where the platform gives them.
inline bool SameOpenObject(HANDLE a, FileIdentity* a_identity, HANDLE b, FileIdentity* b_identity) {
  if (a_identity->known && b_identity->known) {
    if (!SameObject(*a_identity, *b_identity)) return false;
    CompleteIdentity(a, a_identity);
    CompleteIdentity(b, b_identity);
    if (a_identity->known && b_identity->known) return SameObject(*a_identity, *b_identity);
  }
  const std::u16string a_path = FinalPathOf(a);
  return !a_path.empty() && a_path == FinalPathOf(b);
}

}  // namespace vx
