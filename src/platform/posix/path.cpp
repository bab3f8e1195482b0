// Root paths on Linux: an absolute path stands as it is; any other is taken
// relative to the current directory.
#include <errno.h>
#include <unistd.h>

#include <vector>

#include "internal.h"

namespace vx {

const char16_t kPathSeparator = u'/';

// Linux tree copiers (cp -a, rsync -a, tar) keep links as links.
const bool kLinksKeptByDefault = true;

const bool kNamesIgnoreCase = false;

const char16_t* const kPrivilegeHint =
    u"run velmox as root, or as a member of the velmox group that its package makes "
    u"(the installed program carries the capabilities it needs).";

namespace posix {

DWORD VolumeRootLength(const char16_t* path) {
  return path[0] == u'/' ? 1 : 0;
}

}  // namespace posix

RootPathForm PrepareRootPath(std::u16string_view typed, std::u16string* prepared) {
  if (!typed.empty() && typed[0] == u'/') {
    prepared->assign(typed);
    return RootPathForm::kPrepared;
  }
  std::vector<char> cwd(4096);
  while (getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return RootPathForm::kUnrecognised;
    cwd.resize(cwd.size() * 2);
  }
  *prepared = DecodeFileName(cwd.data());
  prepared->push_back(u'/');
  prepared->append(typed);
  return RootPathForm::kPrepared;
}

}  // namespace vx
