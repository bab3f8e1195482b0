#include "destination_directory.h"

#include "../../report/report.h"
#include "../run_settings.h"
#include "../access.h"
#include "history.h"
#include "remove.h"
#include "rules.h"

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

// Looks at what the destination name holds: a directory comes back open
// in `*handle`; `*code` is what the open said. Returns false where the look
// failed otherwise (reported).
bool LookAtName(const Place& source, const Place& destination, HANDLE* handle, AtName* at_name,
                DWORD* code) {
  *handle = OpenDestinationDirectory(destination);
  *code = Os().GetLastError();
  if (*handle != INVALID_HANDLE_VALUE) {
    *at_name = AtName::kDirectory;
  } else if (IsNotFound(*code)) {
    *at_name = AtName::kNothing;
  } else if (*code == ERROR_DIRECTORY) {
    *at_name = AtName::kFile;
  } else if (*code == ERROR_CANT_RESOLVE_FILENAME) {
    *at_name = AtName::kUnresolved;
  } else {
    ReportWin32Error(source.path, u"CreateFile(DESTINATION-DIR)", *code);
    return false;
  }
  return true;
}

enum class Made { kYes, kTaken, kFailed };

// Makes the directory, open in `*handle`; a failure other than a name taken
// is reported.
Made Make(const Place& destination, HANDLE* handle) {
  if (CreateDestinationDirectory(destination, handle)) {
    if (*handle == INVALID_HANDLE_VALUE) *handle = OpenDestinationDirectory(destination);
    return Made::kYes;
  }
  const DWORD code = Os().GetLastError();
  if (code == ERROR_ALREADY_EXISTS) return Made::kTaken;
  ReportWin32Error(destination.path, u"CreateDirectory(DESTINATION-DIR)", code);
  if (destination.parent == nullptr && code == ERROR_PATH_NOT_FOUND) {
    WriteHint(u"the folder that is to hold the destination root " + destination.path +
              u" does not exist: /CreateDestinationDirectory makes the root only; create "
              u"that folder first.");
  }
  return Made::kFailed;
}

}  // namespace

// The rules (rules.h) decide; this gathers the facts and carries out the
// answer. With /List nothing is made: where the run would make the
// directory, `*created` says so and no handle comes back.
bool OpenDestinationLevel(const Place& source, const Place& destination, bool* created,
                          HANDLE* handle) {
  DirectoryFacts facts;
  facts.make = !State.AtTopLevel || Settings.CreateDestinationDirectory;
  facts.parent_is_new = destination.parent_is_new;
  facts.takes_existing = Settings.Overwrite || Settings.OnlyNewer || Settings.Verify;
  facts.verify = Settings.Verify;
  facts.may_replace_kind = MayReplaceKind(destination);
  const bool writes = !WritesNothing();
  // Inside a directory /List would make, there is nothing to look at.
  const bool can_look = destination.parent != INVALID_HANDLE_VALUE;
  *created = false;
  *handle = INVALID_HANDLE_VALUE;
  DWORD code = 0;
  for (;;) {
    const DirectoryAction action = DecideOnDirectory(facts);
    switch (action) {
      case DirectoryAction::kAskAtName:
      case DirectoryAction::kMake:
        // A run that writes makes the name where it may, the make being
        // its look; /List looks where there is something to look at.
        if (can_look && !facts.at_name && (action == DirectoryAction::kAskAtName || !writes)) {
          AtName at_name;
          if (!LookAtName(source, destination, handle, &at_name, &code)) return false;
          facts.at_name = at_name;
          continue;
        }
        if (!writes) {
          *created = true;
          if (Settings.Verify) ReportDifference(source.path, u"missing at the destination");
          return true;
        }
        switch (Make(destination, handle)) {
          case Made::kYes:
            *created = true;
            if (KeepsHistory() && *handle != INVALID_HANDLE_VALUE) {
              NoteNewEntry(destination.path, *handle);
            }
            break;  // its opening judged below
          case Made::kTaken:
            facts.at_name = IsDirectoryAt(destination) ? AtName::kDirectory : AtName::kFile;
            continue;
          case Made::kFailed:
            return false;
        }
        break;
      case DirectoryAction::kTakeExisting:
        if (*handle == INVALID_HANDLE_VALUE) *handle = OpenDestinationDirectory(destination);
        break;
      case DirectoryAction::kReplaceKind:
        if (!RemoveEntry(destination.parent, destination.Name(), destination.path)) return false;
        if (!writes) {
          *created = true;
          return true;
        }
        switch (Make(destination, handle)) {
          case Made::kYes:
            *created = true;
            break;
          case Made::kTaken:
            ReportWin32Error(destination.path, u"CreateDirectory(DESTINATION-DIR)",
                             ERROR_ALREADY_EXISTS);
            return false;
          case Made::kFailed:
            return false;
        }
        break;
      case DirectoryAction::kCollision:
        ReportWin32Error(source.path, u"CopyOneDirectory:NameCollision(DESTINATION-DIR)",
                         ERROR_ALREADY_EXISTS);
        return false;
      case DirectoryAction::kRefuseExisting:
        ReportWin32Error(destination.path, u"CreateDirectory(DESTINATION-DIR)",
                         ERROR_ALREADY_EXISTS);
        return false;
      case DirectoryAction::kCannotOpen:
        ReportWin32Error(source.path, u"CreateFile(DESTINATION-DIR)", code);
        if (destination.parent == nullptr && !facts.make && IsNotFound(code)) {
          WriteHint(u"the destination root " + destination.path +
                    u" does not exist: create it, or add /CreateDestinationDirectory.");
        }
        return false;
      case DirectoryAction::kDifference:
        ReportDifference(source.path, u"another kind at the destination");
        *created = true;
        return true;
    }
    break;
  }
  // Made or taken: it must open as a directory.
  if (*handle == INVALID_HANDLE_VALUE && writes) {
    ReportWin32Error(source.path, u"CreateFile(DESTINATION-DIR)", Os().GetLastError());
    return false;
  }
  return true;
}

}  // namespace vx
