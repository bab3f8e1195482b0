// The user.* extended attributes a run carries with /CopyAttributes.
#include <errno.h>

#include "internal.h"
#include "xattrs.h"

namespace vx::posix {

// The user.* extended attributes made equal to the source's (added, changed
// and removed, nothing written where they already match), or, without
// `write`, only compared.
BOOL MatchAttributes(HANDLE source, HANDLE destination, bool write, BOOL* same) {
  *same = 1;
  const int in_fd = DescriptorOf(source);
  const int out_fd = in_fd >= 0 ? DescriptorOf(destination) : -1;
  if (out_fd < 0) return 0;
  const Object in = Object::Of(source, in_fd);
  const Object out = Object::Of(destination, out_fd);
  auto fail = [](int error) {
    SetLastErrorFromErrno(error);
    return 0;
  };
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  const Handle* copy = FromHandle(destination);
  if (!ListedAttributeNames(source, in, &wanted) ||
      (!(copy != nullptr && copy->made) && !ListAttributeNames(out, &present))) {
    return fail(errno);
  }
  auto is_user = [](const std::string& name) { return name.rfind("user.", 0) == 0; };
  auto changing = [same] { *same = 0; };
  for (const std::string& name : present) {
    if (!is_user(name) || Contains(wanted, name)) continue;
    changing();
    if (write && out.Remove(name.c_str()) != 0 && !Absent(errno)) return fail(errno);
  }
  for (const std::string& name : wanted) {
    if (!is_user(name)) continue;
    std::string value;
    if (!ReadAttribute(in, name.c_str(), &value)) {
      if (Absent(errno)) continue;  // removed meanwhile
      return fail(errno);
    }
    std::string current;
    if (!write) {
      if (!ReadAttribute(out, name.c_str(), &current) || current != value) *same = 0;
    } else if (!SetAttributeIfDifferent(out, present, name, value, changing)) {
      return fail(errno);
    }
  }
  if (write && *same) SetLastErrorCode(kAlreadyAsAsked);
  return 1;
}

BOOL CopyAttributes(HANDLE source, HANDLE destination) {
  BOOL same = 1;
  return MatchAttributes(source, destination, true, &same);
}

BOOL SameAttributes(HANDLE source, HANDLE destination, BOOL* same) {
  return MatchAttributes(source, destination, false, same);
}

}  // namespace vx::posix
