// What makes two paths the same object: the volume and the file index (on
// Linux the device and the inode), never the path strings, which aliases,
// links and "." make unreliable. Where the platform has a 128-bit file
// identifier (Windows: ReFS's 64-bit index is not unique), it decides
// between objects whose index is the same.
#pragma once

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
  uint32_t device = 0;  // the run's number for the object's device (DeviceNumberOf); 0: not asked
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

// Two unknown identities are never the same, nor two on devices known to
// differ. The 64-bit index decides unless both identities carry the 128-bit
// identifier; callers complete both where the index alone says "the same".
inline bool SameObject(const FileIdentity& a, const FileIdentity& b) {
  if (!a.known || !b.known) return false;
  if (a.device != 0 && b.device != 0 && a.device != b.device) return false;
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

// The device of a final path ("\Device\HarddiskVolumeShadowCopy1" of
// "\Device\HarddiskVolumeShadowCopy1\Data\x"); empty where it names none.
inline std::u16string_view DeviceOfFinalPath(std::u16string_view path) {
  constexpr std::u16string_view kDevices = u"\\Device\\";
  if (path.substr(0, kDevices.size()) != kDevices || path.size() == kDevices.size()) return {};
  return path.substr(0, path.find(u'\\', kDevices.size()));
}

// A volume's snapshot (a shadow copy) carries the volume's own serial
// number and file identifiers, so identity alone takes the snapshot of a
// directory for the directory itself: the device tells them apart. The
// same number for every object on one device within the run; 0 where the
// platform names no device.
inline uint32_t DeviceNumberOf(HANDLE file) {
  const std::u16string device(DeviceOfFinalPath(FinalPathOf(file)));
  if (device.empty()) return 0;
  static std::mutex lock;
  static std::vector<std::u16string> devices;
  std::lock_guard<std::mutex> hold(lock);
  for (size_t i = 0; i < devices.size(); ++i) {
    if (devices[i] == device) return static_cast<uint32_t>(i + 1);
  }
  devices.push_back(device);
  return static_cast<uint32_t>(devices.size());
}

inline FileIdentity IdentityOnDevice(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info) {
  FileIdentity identity = IdentityOf(file, info);
  identity.device = DeviceNumberOf(file);
  return identity;
}

// Whether two open objects are one: by identity (and device) where both
// are known, else by their final paths where the platform gives them.
inline bool SameOpenObject(HANDLE a, FileIdentity* a_identity, HANDLE b, FileIdentity* b_identity) {
  if (a_identity->known && b_identity->known) {
    if (!SameObject(*a_identity, *b_identity)) return false;
    CompleteIdentity(a, a_identity);
    CompleteIdentity(b, b_identity);
    if (a_identity->known && b_identity->known) {
      if (a_identity->device == 0) a_identity->device = DeviceNumberOf(a);
      if (b_identity->device == 0) b_identity->device = DeviceNumberOf(b);
      return SameObject(*a_identity, *b_identity);
    }
  }
  const std::u16string a_path = FinalPathOf(a);
  return !a_path.empty() && a_path == FinalPathOf(b);
}

}  // namespace vx
