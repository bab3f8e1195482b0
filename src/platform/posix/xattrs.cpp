#include "xattrs.h"

#include <errno.h>

#include <algorithm>

namespace vx::posix {

bool ReadAttribute(const Object& object, const char* name, std::string* value) {
  for (;;) {
    ssize_t size = object.Get(name, nullptr, 0);
    if (size < 0) return false;
    value->resize(static_cast<size_t>(size));
    ssize_t got = object.Get(name, value->data(), value->size());
    if (got >= 0) {
      value->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // grew meanwhile: ask again
  }
}

bool Absent(int error) {
  return error == ENODATA || error == EOPNOTSUPP;
}

bool ListAttributeNames(const Object& object, std::vector<std::string>* names) {
  thread_local std::vector<char> list(65536);
  const ssize_t got = object.List(list.data(), list.size());
  if (got < 0) return Absent(errno);
  for (ssize_t pos = 0; pos < got;) {
    names->emplace_back(list.data() + pos);
    pos += static_cast<ssize_t>(names->back().size()) + 1;
  }
  return true;
}

bool ListedAttributeNames(HANDLE handle, const Object& object, std::vector<std::string>* names) {
  Handle* known = FromHandle(handle);
  if (known == nullptr || !known->reads_only) return ListAttributeNames(object, names);
  if (!known->attribute_names_known) {
    known->attribute_names.clear();
    if (!ListAttributeNames(object, &known->attribute_names)) return false;
    known->attribute_names_known = true;
  }
  names->insert(names->end(), known->attribute_names.begin(), known->attribute_names.end());
  return true;
}

bool Contains(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace vx::posix
