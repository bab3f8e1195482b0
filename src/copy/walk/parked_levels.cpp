// The directories a deep walk closes on the way down and opens again on
// the way up, as a careful tree walker does: each directory is opened again
// from its child's "..", never by a path (which may be longer than the
// system resolves), and must be the very directory it left, by identity on
// both sides.
#include <algorithm>
#include <memory>
#include <string>

#include "../../report/report.h"
#include "../access.h"
#include "../file/staged_replacements.h"
#include "../identity.h"
#include "walk_levels.h"

namespace vx {

FileIdentity IdentityOfOpen(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!Os().GetFileInformationByHandle(handle, &info)) return FileIdentity{};
  return IdentityOf(handle, info);
}

namespace {

// Reads what is left of the level's listing into memory. Where memory runs
// out the level stays open.
bool Drain(Level& level) {
  return ReadInto(level, SIZE_MAX, nullptr) && level.drained;
}

// Closes the level's handles once the rest of its listing is read and the
// identities to check on its return are known; false where it stays open.
bool Park(Level& level) {
  if (!level.source_identity.known) return false;
  const bool has_destination = level.destination_handle != INVALID_HANDLE_VALUE;
  if (has_destination) {
    level.destination_identity = IdentityOfOpen(level.destination_handle);
    if (!level.destination_identity.known) return false;
  }
  if (!Drain(level)) return false;
  if (has_destination) {
    PutStagedIn(level.destination_handle);
    Os().CloseHandle(level.destination_handle);
  }
  Os().CloseHandle(level.source_handle);
  level.destination_handle = INVALID_HANDLE_VALUE;
  level.source_handle = INVALID_HANDLE_VALUE;
  level.parked = true;
  return true;
}

// `parent` opened from `child`'s "..", or INVALID_HANDLE_VALUE with the
// last error set where that is not the directory `expected`.
HANDLE ReopenFrom(HANDLE child, DWORD access, const FileIdentity& expected) {
  HANDLE parent = Os().OpenParentDirectory(child, access);
  if (parent == INVALID_HANDLE_VALUE) return parent;
  if (!SameObject(IdentityOfOpen(parent), expected)) {
    Os().CloseHandle(parent);
    Os().SetLastError(ERROR_FILE_INVALID);
    return INVALID_HANDLE_VALUE;
  }
  return parent;
}

// `place` with another parent handle.
void Reparent(Place* place, HANDLE parent) {
  Reseat(place, WithParent(*place, parent));
}

}  // namespace

void ParkOldest(Walk& walk, std::vector<std::unique_ptr<Level>>& levels) {
  if (walk.open_levels <= kOpenLevels || Os().OpenParentDirectory == nullptr) return;
  // The root stays open, and so does the directory being listed.
  for (size_t index = std::max<size_t>(walk.park_from, 1); index + 1 < levels.size(); ++index) {
    Level& level = *levels[index];
    const Level& child = *levels[index + 1];
    // The way back is the child's "..": not where the child was reached
    // through a link, nor where the child has no destination to start from
    // (/List and /Verify meet it missing).
    const bool child_lacks_destination = child.destination_handle == INVALID_HANDLE_VALUE &&
                                         level.destination_handle != INVALID_HANDLE_VALUE;
    if (level.parked || child.source.through_link || child_lacks_destination) continue;
    // Its files and the subdirectories it left behind hold its handles; the
    // child on the walk's path is the one thing it may still wait for.
    if (walk.workers != nullptr) walk.workers->WaitFor(&level.files, 1);
    if (!Park(level)) continue;
    --walk.open_levels;
    walk.park_from = index + 1;
    return;
  }
}

// The parent's places name it by the walk's paths, which name the child
// now: its own paths are their beginnings.
bool Unpark(Level& parent, Level& child) {
  // A child that could not be opened again itself leads nowhere.
  HANDLE source = INVALID_HANDLE_VALUE;
  if (child.parked) {
    Os().SetLastError(ERROR_FILE_INVALID);
  } else {
    source = ReopenFrom(child.source_handle, SourceAccess(), parent.source_identity);
  }
  if (source == INVALID_HANDLE_VALUE) {
    ReportWin32Error(parent.source.path.substr(0, parent.source_length),
                     u"CopyOneDirectory:Reopen(SOURCE-DIR)", Os().GetLastError());
    Reparent(&child.source, INVALID_HANDLE_VALUE);
    Reparent(&child.destination, INVALID_HANDLE_VALUE);
    return false;
  }
  HANDLE destination = INVALID_HANDLE_VALUE;
  if (parent.destination_identity.known) {
    destination = ReopenFrom(child.destination_handle, DestinationDirectoryAccess(),
                             parent.destination_identity);
    if (destination == INVALID_HANDLE_VALUE) {
      ReportWin32Error(parent.destination.path.substr(0, parent.destination_length),
                       u"CopyOneDirectory:Reopen(DESTINATION-DIR)", Os().GetLastError());
      Os().CloseHandle(source);
      Reparent(&child.source, INVALID_HANDLE_VALUE);
      Reparent(&child.destination, INVALID_HANDLE_VALUE);
      return false;
    }
  }
  parent.source_handle = source;
  parent.destination_handle = destination;
  parent.parked = false;
  Reparent(&child.source, source);
  Reparent(&child.destination, destination);
  return true;
}

}  // namespace vx
