// How the copy engine opens things: every source object for reading with its
// system access-control list, every destination object for writing with
// owner, DACL and SACL, all shared and with backup semantics, whether or not
// descriptors are copied. The system access-control list needs the security
// privilege; a run that goes on without it (a backup operator's) asks for
// neither.
//
// Below the roots every object is opened relative to its parent directory.
// Where links are followed, a source link is followed, as Windows follows
// reparse points under backup semantics; where they are kept, none is.
// Nothing below the destination root is ever reached through a link, so no
// planted link can redirect a privileged write. The roots are the user's
// own choice and are followed, but not through a link another user planted
// on their path (OpenRootPath).
#pragma once

#include <vector>

#include "../platform/platform.h"
#include "run_settings.h"
#include "identity.h"
#include "place.h"

namespace vx {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kSecurityBufferBytes = 32768;

inline DWORD SystemSecurityAccess() {
  return State.WithoutSystemSecurity ? 0 : ACCESS_SYSTEM_SECURITY;
}
inline DWORD SourceAccess() {
  return GENERIC_READ | SystemSecurityAccess();
}
inline DWORD DestinationAccess() {
  return GENERIC_WRITE | WRITE_OWNER | WRITE_DAC | SystemSecurityAccess();
}
// A destination directory is also listed, for leftovers of earlier runs.
inline DWORD DestinationDirectoryAccess() {
  return DestinationAccess() | FILE_LIST_DIRECTORY;
}
// The look at what a destination name holds: its attributes and security
// are read, nothing is written, so a read-only or immutable file is looked
// at like any other.
inline DWORD ProbeAccess() {
  return FILE_READ_ATTRIBUTES | READ_CONTROL | SystemSecurityAccess();
}

inline bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// A root, by its full path: see root_open.cpp. ERROR_CANT_ACCESS_FILE where
// a link on the way may not be followed.
HANDLE OpenRootPath(const std::u16string& path, DWORD access, DWORD flags);

// Where links are kept, a source entry below the root is never opened
// through a link: one swapped in after the listing looked at the name is
// refused (1921), never read through.
inline HANDLE OpenSource(const Place& place) {
  if (place.parent == nullptr) return OpenRootPath(place.path, SourceAccess(), 0);
  return Os().CreateFileAtW(
      place.parent, place.Name(), SourceAccess(), kShareAll, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (State.KeepLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0));
}

// Whether what the followed link `source` led to, open as `reached`, may be
// read: its owner could have read it anyway. False with the last error set
// (ERROR_CANT_ACCESS_FILE where the rule refuses it).
inline bool MayFollow(const Place& source, HANDLE reached) {
  if (!source.through_link || Os().MayFollowLink == nullptr) return true;
  BOOL may = 0;
  if (!Os().MayFollowLink(source.parent, source.Name(), reached, &may)) return false;
  if (!may) Os().SetLastError(ERROR_CANT_ACCESS_FILE);
  return may != 0;
}

// `flags` adds to backup semantics (and, below the root, to never following
// a link).
inline HANDLE OpenDestination(const Place& place, DWORD access, DWORD flags = 0) {
  if (place.parent == nullptr) return OpenRootPath(place.path, access, flags);
  return Os().CreateFileAtW(place.parent, place.Name(), access, kShareAll, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | flags);
}

inline HANDLE OpenDestinationDirectory(const Place& place) {
  return OpenDestination(place, DestinationDirectoryAccess(), FILE_FLAG_DIRECTORY_ONLY);
}

// Gives `destination` the times of `source`, whose information is `info`,
// to every digit the file system keeps where FILETIME holds fewer.
inline BOOL CopyTimes(HANDLE source, const BY_HANDLE_FILE_INFORMATION& info, HANDLE destination) {
  if (Os().CopyFileTimes != nullptr) return Os().CopyFileTimes(source, destination);
  return Os().SetFileTime(destination, &info.ftCreationTime, &info.ftLastAccessTime,
                          &info.ftLastWriteTime);
}

// Makes the destination directory: below a parent it comes back open as it
// was made (*made); a root is made by its path, to be opened by it.
inline BOOL CreateDestinationDirectory(const Place& place, HANDLE* made) {
  *made = INVALID_HANDLE_VALUE;
  if (place.parent == nullptr) return Os().CreateDirectoryW(place.path.c_str(), nullptr);
  *made = Os().CreateDirectoryAtW(place.parent, place.Name(), DestinationDirectoryAccess());
  return *made != INVALID_HANDLE_VALUE;
}

// The identity of the entry `name` of the open directory, looked at as
// itself; unknown where it cannot be looked at.
inline FileIdentity IdentityAt(HANDLE directory, const std::u16string& name) {
  HANDLE object = Os().CreateFileAtW(directory, name.c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                     OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NODE);
  if (object == INVALID_HANDLE_VALUE) return FileIdentity{};
  BY_HANDLE_FILE_INFORMATION info;
  FileIdentity identity;
  if (Os().GetFileInformationByHandle(object, &info)) identity = IdentityOf(object, info);
  Os().CloseHandle(object);
  return identity;
}

// Adds the identities of the directory open as `directory` and of every
// directory above it, up to the top of its tree; the handle is closed.
inline void AddWithAncestors(HANDLE directory, std::vector<FileIdentity>* identities) {
  while (directory != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info;
    if (Os().GetFileInformationByHandle(directory, &info)) {
      identities->push_back(IdentityOnDevice(directory, info));
    }
    HANDLE parent = Os().OpenParentDirectory != nullptr ? Os().OpenParentDirectory(directory, FILE_READ_ATTRIBUTES)
                                                        : INVALID_HANDLE_VALUE;
    Os().CloseHandle(directory);
    directory = parent;
  }
}

}  // namespace vx
