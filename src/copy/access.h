// How the copy engine opens things: every source object for reading with its
// system access-control list, every destination object for writing with
// owner, DACL and SACL, all shared and with backup semantics, whether or not
// descriptors are copied.
//
// Below the roots every object is opened relative to its parent directory.
// A source link is followed, as Windows follows reparse points under backup
// semantics; nothing below the destination root is ever reached through a
// link, so no planted link can redirect a privileged write. The roots are
// the user's own choice and are followed.
#pragma once

#include "../platform/platform.h"
#include "place.h"

namespace vx {

constexpr DWORD kSourceAccess = GENERIC_READ | ACCESS_SYSTEM_SECURITY;
constexpr DWORD kDestinationAccess =
    GENERIC_WRITE | ACCESS_SYSTEM_SECURITY | WRITE_OWNER | WRITE_DAC;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kAllSecurityInformation = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                          DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
constexpr DWORD kSecurityBufferBytes = 32768;

inline HANDLE OpenSource(const Place& place) {
  if (place.parent == nullptr) {
    return Os().CreateFileW(place.path.c_str(), kSourceAccess, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  return Os().CreateFileAtW(place.parent, place.Name(), kSourceAccess, kShareAll, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS);
}

inline HANDLE OpenDestination(const Place& place, DWORD disposition) {
  if (place.parent == nullptr) {
    return Os().CreateFileW(place.path.c_str(), kDestinationAccess, kShareAll, nullptr, disposition,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  return Os().CreateFileAtW(place.parent, place.Name(), kDestinationAccess, kShareAll, disposition,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

inline BOOL CreateDestinationDirectory(const Place& place) {
  if (place.parent == nullptr) return Os().CreateDirectoryW(place.path.c_str(), nullptr);
  return Os().CreateDirectoryAtW(place.parent, place.Name());
}

}  // namespace vx
