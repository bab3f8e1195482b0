// Extended attributes of an open object, read and written through its
// descriptor or, for a node, through /proc: what security records and the
// user.* attributes are made of.
#pragma once

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace vx::posix {

// Where an object's attributes, owner and mode are read and written:
// through its descriptor, or, for a node (an O_PATH descriptor, which the
// f* calls refuse), through the descriptor's entry in /proc, which leads to
// the node itself and never through a link.
class Object {
 public:
  explicit Object(int fd, bool node = false) : fd_(fd), node_(node) {
    if (node_) path_ = SelfPath(fd);
  }
  static Object Of(HANDLE handle, int fd) {
    const Handle* known = FromHandle(handle);
    return Object(fd, known != nullptr && known->node);
  }
  ssize_t Get(const char* name, void* value, size_t size) const {
    return node_ ? getxattr(path_.c_str(), name, value, size) : fgetxattr(fd_, name, value, size);
  }
  int Set(const char* name, const void* value, size_t size) const {
    return node_ ? setxattr(path_.c_str(), name, value, size, 0)
                 : fsetxattr(fd_, name, value, size, 0);
  }
  int Remove(const char* name) const {
    return node_ ? removexattr(path_.c_str(), name) : fremovexattr(fd_, name);
  }
  ssize_t List(char* list, size_t size) const {
    return node_ ? listxattr(path_.c_str(), list, size) : flistxattr(fd_, list, size);
  }
  int Chown(uid_t uid, gid_t gid) const {
    return node_ ? fchownat(fd_, "", uid, gid, AT_EMPTY_PATH) : fchown(fd_, uid, gid);
  }
  int Chmod(mode_t mode) const {
    return node_ ? fchmodat(AT_FDCWD, path_.c_str(), mode, 0) : fchmod(fd_, mode);
  }

 private:
  int fd_;
  bool node_;
  std::string path_;
};

// Reads one attribute; false with errno when it is absent or unreadable.
bool ReadAttribute(const Object& object, const char* name, std::string* value);

// Whether an attribute call's errno says the attribute (or attributes at
// all) is absent.
bool Absent(int error);

// Every attribute name of the object, in one call: a list never exceeds
// 64 KiB (XATTR_LIST_MAX).
bool ListAttributeNames(const Object& object, std::vector<std::string>* names);
// The same for `object` opened as `handle`: a file opened for reading only
// is listed once, for its security and its attributes alike.
bool ListedAttributeNames(HANDLE handle, const Object& object, std::vector<std::string>* names);

bool Contains(const std::vector<std::string>& names, std::string_view name);

// Sets an attribute unless it already holds `value`; `changing` runs before
// a write.
template <typename Changing>
bool SetAttributeIfDifferent(const Object& object, const std::vector<std::string>& present,
                             const std::string& name, const std::string& value, Changing changing) {
  std::string current;
  if (Contains(present, name) && ReadAttribute(object, name.c_str(), &current) &&
      current == value) {
    return true;
  }
  changing();
  return object.Set(name.c_str(), value.data(), value.size()) == 0;
}

}  // namespace vx::posix
