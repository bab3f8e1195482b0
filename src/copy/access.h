// How the copy engine opens things: every source object for reading with its
// system access-control list, every destination object for writing with
// owner, DACL and SACL, all shared and with backup semantics, whether or not
// descriptors are copied.
#pragma once

#include "../platform/platform.h"

namespace vx {

constexpr DWORD kSourceAccess = GENERIC_READ | ACCESS_SYSTEM_SECURITY;
constexpr DWORD kDestinationAccess =
    GENERIC_WRITE | ACCESS_SYSTEM_SECURITY | WRITE_OWNER | WRITE_DAC;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kAllSecurityInformation = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                          DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
constexpr DWORD kSecurityBufferBytes = 32768;

inline HANDLE OpenSource(const char16_t* path) {
  return Os().CreateFileW(path, kSourceAccess, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

inline HANDLE OpenDestination(const char16_t* path, DWORD disposition) {
  return Os().CreateFileW(path, kDestinationAccess, kShareAll, nullptr, disposition,
                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace vx
