// Security descriptors on Linux.
//
// The self-relative record holds what the information bits ask for:
//   owner (OWNER_SECURITY_INFORMATION)  the uid
//   group (GROUP_SECURITY_INFORMATION)  the gid
//   DACL  (DACL_SECURITY_INFORMATION)   the permission bits (07777) and the
//         POSIX ACLs: system.posix_acl_access, and system.posix_acl_default
//         on a directory, in the kernel's own xattr form
//   SACL  (SACL_SECURITY_INFORMATION)   the security.* and trusted.*
//         extended attributes
// Applying a record makes the destination match it exactly.
#include <errno.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "posix_internal.h"

namespace vx::posix {
namespace {

constexpr char kMagic[4] = {'V', 'X', 'S', 'D'};
constexpr DWORD kInvalidSecurityDescriptor = 1338;
constexpr const char* kAccessAcl = "system.posix_acl_access";
constexpr const char* kDefaultAcl = "system.posix_acl_default";

struct Header {
  char magic[4];
  uint32_t total_size;  // the whole record, this header included
  uint32_t information;
  uint32_t uid;
  uint32_t gid;
  uint32_t mode;
  uint32_t has_access_acl;
  uint32_t has_default_acl;
  uint32_t attribute_count;
};

using Attributes = std::map<std::string, std::string>;

bool IsSystemAclName(const std::string& name) {
  return name.rfind("security.", 0) == 0 || name.rfind("trusted.", 0) == 0;
}

// Reads one attribute; false with errno when it is absent or unreadable.
bool ReadAttribute(int fd, const char* name, std::string* value) {
  for (;;) {
    ssize_t size = fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return false;
    value->resize(static_cast<size_t>(size));
    ssize_t got = fgetxattr(fd, name, value->data(), value->size());
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

// An ACL that is not there reads as none; any other failure is a failure.
bool ReadOptionalAttribute(int fd, const char* name, bool* present, std::string* value) {
  *present = ReadAttribute(fd, name, value);
  return *present || Absent(errno);
}

bool ListSystemAttributeNames(int fd, std::vector<std::string>* names) {
  std::string list;
  for (;;) {
    ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return Absent(errno);
    list.resize(static_cast<size_t>(size));
    ssize_t got = flistxattr(fd, list.data(), list.size());
    if (got >= 0) {
      list.resize(static_cast<size_t>(got));
      break;
    }
    if (errno != ERANGE) return false;
  }
  for (size_t pos = 0; pos < list.size();) {
    std::string name(list.c_str() + pos);
    pos += name.size() + 1;
    if (IsSystemAclName(name)) names->push_back(name);
  }
  return true;
}

void AppendBytes(std::string* out, const void* data, size_t size) {
  out->append(static_cast<const char*>(data), size);
}

void AppendBlob(std::string* out, const std::string& blob) {
  auto size = static_cast<uint32_t>(blob.size());
  AppendBytes(out, &size, sizeof size);
  out->append(blob);
}

// Reads the record back; false when it is malformed.
class RecordReader {
 public:
  RecordReader(const char* data, size_t size) : data_(data), size_(size) {}
  bool Blob(std::string* out) {
    uint32_t size;
    if (!Bytes(&size, sizeof size) || size > size_ - pos_) return false;
    out->assign(data_ + pos_, size);
    pos_ += size;
    return true;
  }
  bool Bytes(void* out, size_t size) {
    if (size > size_ - pos_) return false;
    std::memcpy(out, data_ + pos_, size);
    pos_ += size;
    return true;
  }

 private:
  const char* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A record never outgrows the largest buffer the program hands over.
constexpr size_t kMaxRecordBytes = 32768;

}  // namespace

BOOL GetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor, DWORD length,
                             DWORD* length_needed) {
  Handle* handle = FromHandle(object);
  if (handle == nullptr || handle->fd < 0) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return 0;
  }
  struct stat st;
  if (fstat(handle->fd, &st) != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  Header header = {};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.information = information & 15;
  header.uid = st.st_uid;
  header.gid = st.st_gid;
  header.mode = st.st_mode & 07777;
  std::string access_acl, default_acl;
  Attributes attributes;
  if (information & DACL_SECURITY_INFORMATION) {
    bool present = false;
    if (!ReadOptionalAttribute(handle->fd, kAccessAcl, &present, &access_acl)) {
      SetLastErrorFromErrno(errno);
      return 0;
    }
    header.has_access_acl = present;
    if (S_ISDIR(st.st_mode)) {
      if (!ReadOptionalAttribute(handle->fd, kDefaultAcl, &present, &default_acl)) {
        SetLastErrorFromErrno(errno);
        return 0;
      }
      header.has_default_acl = present;
    }
  }
  if (information & SACL_SECURITY_INFORMATION) {
    std::vector<std::string> names;
    if (!ListSystemAttributeNames(handle->fd, &names)) {
      SetLastErrorFromErrno(errno);
      return 0;
    }
    for (const std::string& name : names) {
      std::string value;
      if (ReadAttribute(handle->fd, name.c_str(), &value)) {
        attributes[name] = value;
      } else if (errno != ENODATA) {  // removed meanwhile is no failure
        SetLastErrorFromErrno(errno);
        return 0;
      }
    }
  }
  header.attribute_count = static_cast<uint32_t>(attributes.size());

  std::string record(sizeof header, '\0');
  if (header.has_access_acl) AppendBlob(&record, access_acl);
  if (header.has_default_acl) AppendBlob(&record, default_acl);
  for (const auto& [name, value] : attributes) {
    AppendBlob(&record, name);
    AppendBlob(&record, value);
  }
  header.total_size = static_cast<uint32_t>(record.size());
  std::memcpy(record.data(), &header, sizeof header);
  if (length_needed != nullptr) *length_needed = static_cast<DWORD>(record.size());
  if (record.size() > length) {
    SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(descriptor, record.data(), record.size());
  return 1;
}

BOOL SetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor) {
  Handle* handle = FromHandle(object);
  if (handle == nullptr || handle->fd < 0) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return 0;
  }
  const int fd = handle->fd;
  Header header;
  std::memcpy(&header, descriptor, sizeof header);
  if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0 || header.total_size < sizeof header ||
      header.total_size > kMaxRecordBytes) {
    SetLastErrorCode(kInvalidSecurityDescriptor);
    return 0;
  }
  RecordReader reader(static_cast<const char*>(descriptor) + sizeof header,
                      header.total_size - sizeof header);
  std::string access_acl, default_acl;
  Attributes attributes;
  if ((header.has_access_acl && !reader.Blob(&access_acl)) ||
      (header.has_default_acl && !reader.Blob(&default_acl))) {
    SetLastErrorCode(kInvalidSecurityDescriptor);
    return 0;
  }
  for (uint32_t i = 0; i < header.attribute_count; ++i) {
    std::string name, value;
    if (!reader.Blob(&name) || !reader.Blob(&value)) {
      SetLastErrorCode(kInvalidSecurityDescriptor);
      return 0;
    }
    attributes[name] = value;
  }
  auto fail = [](int error) {
    SetLastErrorFromErrno(error);
    return 0;
  };
  const DWORD apply = information & header.information;

  // Owner and group first: a chown clears the set-id bits, which the mode
  // then puts back.
  uid_t uid = (apply & OWNER_SECURITY_INFORMATION) ? header.uid : static_cast<uid_t>(-1);
  gid_t gid = (apply & GROUP_SECURITY_INFORMATION) ? header.gid : static_cast<gid_t>(-1);
  if ((uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) &&
      fchown(fd, uid, gid) != 0) {
    return fail(errno);
  }
  if (apply & DACL_SECURITY_INFORMATION) {
    struct stat st;
    if (fstat(fd, &st) != 0) return fail(errno);
    // An ACL the source lacks goes before the mode is set, since removing an
    // ACL leaves its mask in the group bits.
    if (!header.has_access_acl && fremovexattr(fd, kAccessAcl) != 0 && !Absent(errno)) {
      return fail(errno);
    }
    if (S_ISDIR(st.st_mode) && !header.has_default_acl && fremovexattr(fd, kDefaultAcl) != 0 &&
        !Absent(errno)) {
      return fail(errno);
    }
    if (fchmod(fd, static_cast<mode_t>(header.mode)) != 0) return fail(errno);
    if (header.has_access_acl &&
        fsetxattr(fd, kAccessAcl, access_acl.data(), access_acl.size(), 0) != 0) {
      return fail(errno);
    }
    if (header.has_default_acl && S_ISDIR(st.st_mode) &&
        fsetxattr(fd, kDefaultAcl, default_acl.data(), default_acl.size(), 0) != 0) {
      return fail(errno);
    }
  }
  if (apply & SACL_SECURITY_INFORMATION) {
    std::vector<std::string> present;
    if (!ListSystemAttributeNames(fd, &present)) return fail(errno);
    for (const std::string& name : present) {
      if (attributes.count(name) == 0 && fremovexattr(fd, name.c_str()) != 0 && errno != ENODATA) {
        return fail(errno);
      }
    }
    for (const auto& [name, value] : attributes) {
      if (fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) return fail(errno);
    }
  }
  return 1;
}

}  // namespace vx::posix
