// Roots are opened one name at a time from the root directory of their
// volume, each name relative to the directory before it, as every entry
// below them is. A link on the way is followed (a root is the operator's
// choice) only where its owner could have read what it leads to: a link
// that a user planted in a folder on the path, to what only the run may
// read or write, leads nowhere.
#include "access.h"

#include <vector>

namespace vx {

namespace {

// The names below the volume's root, "." and empty ones left out.
std::vector<std::u16string> NamesBelow(std::u16string_view rest) {
  std::vector<std::u16string> names;
  size_t at = 0;
  while (at <= rest.size()) {
    size_t end = rest.find(kPathSeparator, at);
    if (end == std::u16string_view::npos) end = rest.size();
    const std::u16string_view name = rest.substr(at, end - at);
    if (!name.empty() && name != u".") names.emplace_back(name);
    at = end + 1;
  }
  return names;
}

// One name below `directory`, with `access` and `flags`: as itself where it
// is no link; where it is one, followed, if its owner could have read what
// it leads to.
HANDLE OpenStep(HANDLE directory, const std::u16string& name, DWORD access, DWORD flags) {
  HANDLE opened = Os().CreateFileAtW(directory, name.c_str(), access, kShareAll, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                                         flags);
  if (opened != INVALID_HANDLE_VALUE || Os().GetLastError() != ERROR_CANT_RESOLVE_FILENAME) {
    return opened;
  }
  // READ_CONTROL: whether a link may be followed is a question of owners.
  opened = Os().CreateFileAtW(directory, name.c_str(), access | READ_CONTROL, kShareAll,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags);
  BOOL may = 1;
  if (opened != INVALID_HANDLE_VALUE &&
      (!Os().MayFollowLink(directory, name.c_str(), opened, &may) || !may)) {
    const DWORD code = may ? Os().GetLastError() : ERROR_CANT_ACCESS_FILE;
    Os().CloseHandle(opened);
    Os().SetLastError(code);
    opened = INVALID_HANDLE_VALUE;
  }
  return opened;
}

}  // namespace

HANDLE OpenRootPath(const std::u16string& path, DWORD access, DWORD flags) {
  const DWORD top = Os().VolumeRootLength != nullptr && Os().MayFollowLink != nullptr
                        ? Os().VolumeRootLength(path.c_str())
                        : 0;
  const std::vector<std::u16string> names =
      top == 0 ? std::vector<std::u16string>() : NamesBelow(std::u16string_view(path).substr(top));
  if (names.empty()) {
    return Os().CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
  }
  HANDLE directory = Os().CreateFileW(path.substr(0, top).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  for (size_t i = 0; i < names.size() && directory != INVALID_HANDLE_VALUE; ++i) {
    const bool last = i + 1 == names.size();
    HANDLE next = last ? OpenStep(directory, names[i], access, flags)
                       : OpenStep(directory, names[i], FILE_READ_ATTRIBUTES, 0);
    DWORD code = Os().GetLastError();
    // As an open by the whole path says: a folder on the way is missing.
    if (next == INVALID_HANDLE_VALUE && !last && code == ERROR_FILE_NOT_FOUND) {
      code = ERROR_PATH_NOT_FOUND;
    }
    Os().CloseHandle(directory);
    Os().SetLastError(code);
    directory = next;
  }
  return directory;
}

}  // namespace vx
