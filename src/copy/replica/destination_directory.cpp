#include "destination_directory.h"

#include "../../report/report.h"
#include "../../run/run_state.h"
#include "../access.h"
#include "remove.h"

namespace vx {

namespace {

// Whether a directory (not a link to one) is at the destination name.
bool IsDirectoryAt(const Place& destination) {
  HANDLE object = OpenDestination(destination, FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_NODE);
  BY_HANDLE_FILE_INFORMATION info;
  const bool directory = object != INVALID_HANDLE_VALUE &&
                         Os().GetFileInformationByHandle(object, &info) &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (object != INVALID_HANDLE_VALUE) Os().CloseHandle(object);
  return directory;
}

// Makes the destination directory, open as made in *made where it was made
// below a parent. An existing one is accepted only with /Overwrite or
// /OnlyNewer; with /Mirror, anything else at the name (a file, a link) is
// removed to make room. Returns false after reporting.
bool MakeDestination(const Place& source, const Place& destination, bool* created, HANDLE* made) {
  // Where an existing directory is taken as it is, it is opened first: a
  // rerun makes no create that fails for each directory. Anything else at
  // the name, or nothing, is the create's to judge.
  if (!destination.parent_is_new && (Settings.Overwrite || Settings.OnlyNewer)) {
    *made = OpenDestinationDirectory(destination);
    *created = false;
    if (*made != INVALID_HANDLE_VALUE) return true;
    const DWORD code = Os().GetLastError();
    if (!IsNotFound(code) && code != ERROR_DIRECTORY && code != ERROR_CANT_RESOLVE_FILENAME) {
      ReportWin32Error(source.path, u"CreateFile(DESTINATION-DIR)", code);
      return false;
    }
  }
  *created = CreateDestinationDirectory(destination, made) != 0;
  if (*created) return true;
  DWORD code = Os().GetLastError();
  // In a directory the run has just made, only the run took the name.
  if (code == ERROR_ALREADY_EXISTS && destination.parent_is_new) {
    ReportWin32Error(source.path, u"CopyOneDirectory:NameCollision(DESTINATION-DIR)", code);
    return false;
  }
  if (code == ERROR_ALREADY_EXISTS && MayReplaceKind(destination) && !IsDirectoryAt(destination)) {
    if (!RemoveEntry(destination.parent, destination.Name(), destination.path)) return false;
    *created = CreateDestinationDirectory(destination, made) != 0;
    if (*created) return true;
    code = Os().GetLastError();
  }
  if (code != ERROR_ALREADY_EXISTS || !(Settings.Overwrite || Settings.OnlyNewer)) {
    ReportWin32Error(destination.path, u"CreateDirectory(DESTINATION-DIR)", code);
    if (destination.parent == nullptr && code == ERROR_PATH_NOT_FOUND) {
      WriteHint(u"the folder that is to hold the destination root " + destination.path +
                u" does not exist: /CreateDestinationDirectory makes the root only; create "
                u"that folder first.");
    }
    return false;
  }
  return true;
}

// /List: what the real run would find and do at the destination directory,
// with nothing written. Inside a directory the run would make, or where
// nothing is, the run would make it: *created, with no handle. /Verify
// takes an existing directory as the copy to compare, and one of another
// kind as a difference, its subtree missing.
bool LookAtDestination(const Place& source, const Place& destination, bool make, bool* created,
                       HANDLE* handle) {
  if (destination.parent == INVALID_HANDLE_VALUE) {
    *created = true;
    if (Settings.Verify) ReportDifference(source.path, u"missing at the destination");
    return true;
  }
  *handle = OpenDestinationDirectory(destination);
  const DWORD code = Os().GetLastError();
  const bool accepted = Settings.Overwrite || Settings.OnlyNewer || Settings.Verify;
  if (*handle != INVALID_HANDLE_VALUE) {
    if (!make || accepted) return true;
    ReportWin32Error(destination.path, u"CreateDirectory(DESTINATION-DIR)", ERROR_ALREADY_EXISTS);
    return false;
  }
  *created = make && IsNotFound(code);
  if (*created) {
    if (Settings.Verify) ReportDifference(source.path, u"missing at the destination");
    return true;
  }
  if (make && (code == ERROR_DIRECTORY || code == ERROR_CANT_RESOLVE_FILENAME)) {
    if (Settings.Verify) {
      ReportDifference(source.path, u"another kind at the destination");
      *created = true;
      return true;
    }
    if (MayReplaceKind(destination)) {
      *created = RemoveEntry(destination.parent, destination.Name(), destination.path);
      return *created;
    }
    if (!accepted) {
      ReportWin32Error(destination.path, u"CreateDirectory(DESTINATION-DIR)", ERROR_ALREADY_EXISTS);
      return false;
    }
  }
  ReportWin32Error(source.path, u"CreateFile(DESTINATION-DIR)", code);
  return false;
}

}  // namespace

bool OpenDestinationLevel(const Place& source, const Place& destination, bool* created,
                          HANDLE* handle) {
  const bool make = !State.AtTopLevel || Settings.CreateDestinationDirectory;
  if (WritesNothing()) return LookAtDestination(source, destination, make, created, handle);
  *handle = INVALID_HANDLE_VALUE;
  if (make && !MakeDestination(source, destination, created, handle)) return false;
  if (*handle == INVALID_HANDLE_VALUE) *handle = OpenDestinationDirectory(destination);
  if (*handle == INVALID_HANDLE_VALUE) {
    const DWORD code = Os().GetLastError();
    ReportWin32Error(source.path, u"CreateFile(DESTINATION-DIR)", code);
    if (destination.parent == nullptr && !make && IsNotFound(code)) {
      WriteHint(u"the destination root " + destination.path +
                u" does not exist: create it, or add /CreateDestinationDirectory.");
    }
    return false;
  }
  return true;
}

}  // namespace vx
