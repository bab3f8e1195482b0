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

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>

#include "internal.h"
#include "xattrs.h"

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

// The run's own marks on a destination directory (trusted.velmox.*) are
// neither carried from a source nor removed from a destination.
bool IsSystemAclName(const std::string& name) {
  if (name.rfind("trusted.velmox.", 0) == 0) return false;
  return name.rfind("security.", 0) == 0 || name.rfind("trusted.", 0) == 0;
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

// The access ACL the kernel gives an object created with `create_mode` in a
// directory whose default ACL is `default_acl` (the xattr form: a 4-byte
// version, then 8-byte entries of tag, permissions and id): the owner,
// other and mask (or, without a mask, the owning group) entries are limited
// by the create mode's bits.
std::string AccessAclForNewObject(std::string acl, mode_t create_mode) {
  constexpr uint16_t kUserObj = 0x01, kGroupObj = 0x04, kMask = 0x10, kOther = 0x20;
  constexpr size_t kHeader = 4, kEntry = 8;
  bool has_mask = false;
  for (size_t at = kHeader; at + kEntry <= acl.size(); at += kEntry) {
    uint16_t tag;
    std::memcpy(&tag, acl.data() + at, sizeof tag);
    has_mask = has_mask || tag == kMask;
  }
  for (size_t at = kHeader; at + kEntry <= acl.size(); at += kEntry) {
    uint16_t tag, permissions;
    std::memcpy(&tag, acl.data() + at, sizeof tag);
    std::memcpy(&permissions, acl.data() + at + 2, sizeof permissions);
    int shift = -1;
    if (tag == kUserObj) shift = 6;
    if (tag == kMask || (tag == kGroupObj && !has_mask)) shift = 3;
    if (tag == kOther) shift = 0;
    if (shift < 0) continue;
    permissions &= static_cast<uint16_t>((create_mode >> shift) & 7);
    std::memcpy(acl.data() + at + 2, &permissions, sizeof permissions);
  }
  return acl;
}

}  // namespace

// Owner, group and mode come from the status the handle already holds; the
// attributes are listed once and only those present are read.
BOOL GetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor, DWORD length,
                             DWORD* length_needed) {
  const struct statx* sx = StatusOf(object);
  const int fd = sx != nullptr ? DescriptorOf(object) : -1;
  if (fd < 0) return 0;
  const Object target = Object::Of(object, fd);
  auto fail = [] {
    SetLastErrorFromErrno(errno);
    return 0;
  };
  Header header = {};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.information = information & 15;
  header.uid = sx->stx_uid;
  header.gid = sx->stx_gid;
  header.mode = sx->stx_mode & 07777;
  std::vector<std::string> names;
  if ((information & (DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)) &&
      !ListedAttributeNames(object, target, &names)) {
    return fail();
  }
  // An attribute removed between the list and the read is no failure.
  auto read_listed = [&](const char* name, std::string* value, uint32_t* present) {
    if (!Contains(names, name)) return true;
    if (ReadAttribute(target, name, value)) {
      *present = 1;
      return true;
    }
    return Absent(errno);
  };
  std::string access_acl, default_acl;
  Attributes attributes;
  if (information & DACL_SECURITY_INFORMATION) {
    if (!read_listed(kAccessAcl, &access_acl, &header.has_access_acl)) return fail();
    if (S_ISDIR(sx->stx_mode) && !read_listed(kDefaultAcl, &default_acl, &header.has_default_acl)) {
      return fail();
    }
  }
  if (information & SACL_SECURITY_INFORMATION) {
    for (const std::string& name : names) {
      if (!IsSystemAclName(name)) continue;
      uint32_t present = 0;
      std::string value;
      if (!read_listed(name.c_str(), &value, &present)) return fail();
      if (present) attributes[name] = value;
    }
  }
  header.attribute_count = static_cast<uint32_t>(attributes.size());

  thread_local std::string record;  // kept, so that its memory is too
  record.assign(sizeof header, '\0');
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

// Makes the object match the record, writing only what differs: a rerun
// over an unchanged tree costs a status and a list, and so does the first
// file created in a directory. Later files created there start out as that
// one did, so they cost neither.
BOOL SetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor) {
  Handle* handle = FromHandle(object);
  Handle* created_in = handle != nullptr ? handle->created_in : nullptr;
  NewFileLook created_look;
  if (created_in != nullptr) {
    std::lock_guard<std::mutex> lock(created_in->guard);
    created_look = created_in->new_file_look;
  }
  const NewFileLook* look = created_look.known ? &created_look : nullptr;
  const struct statx* sx = look != nullptr ? nullptr : StatusOf(object);
  const int fd = look != nullptr || sx != nullptr ? DescriptorOf(object) : -1;
  if (fd < 0) return 0;
  const Object target = Object::Of(object, fd);
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
  const DWORD apply = information & header.information;
  const bool directory = look == nullptr && S_ISDIR(sx->stx_mode);
  // A link has no mode of its own to set.
  const bool link = look == nullptr && S_ISLNK(sx->stx_mode);
  const uint32_t uid = look != nullptr ? look->uid : sx->stx_uid;
  const uint32_t gid = look != nullptr ? look->gid : sx->stx_gid;
  const uint32_t mode = look != nullptr ? look->mode : sx->stx_mode & 07777;
  // The status stays valid while nothing is written. What files created in
  // a directory inherit may change with it.
  bool changed = false;
  auto changing = [&] {
    changed = true;
    ForgetStatus(object);
    if (directory) {
      std::lock_guard<std::mutex> lock(handle->guard);
      handle->new_file_look.known = false;
    }
  };
  auto fail = [](int error) {
    SetLastErrorFromErrno(error);
    return 0;
  };
  std::vector<std::string> present;
  if (look == nullptr && (apply & (DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION))) {
    if (!ListAttributeNames(target, &present)) return fail(errno);
    // Nothing has been applied to a file just created yet: this is how its
    // directory's new files start out, unless it brought attributes along.
    if (created_in != nullptr && present.empty()) {
      std::lock_guard<std::mutex> lock(created_in->guard);
      created_in->new_file_look = NewFileLook{true, uid, gid, mode};
    }
  }

  // Owner and group first: a chown clears the set-id bits, which the mode
  // then puts back.
  const uid_t new_uid = (apply & OWNER_SECURITY_INFORMATION) && header.uid != uid
                            ? header.uid
                            : static_cast<uid_t>(-1);
  const gid_t new_gid = (apply & GROUP_SECURITY_INFORMATION) && header.gid != gid
                            ? header.gid
                            : static_cast<gid_t>(-1);
  bool mode_unsure = false;
  if (new_uid != static_cast<uid_t>(-1) || new_gid != static_cast<gid_t>(-1)) {
    changing();
    if (target.Chown(new_uid, new_gid) != 0) return fail(errno);
    mode_unsure = true;
  }
  if (apply & DACL_SECURITY_INFORMATION) {
    // An ACL the source lacks goes before the mode is set, since removing an
    // ACL leaves its mask in the group bits.
    if (!header.has_access_acl && Contains(present, kAccessAcl)) {
      changing();
      if (target.Remove(kAccessAcl) != 0 && !Absent(errno)) return fail(errno);
      mode_unsure = true;
    }
    if (directory && !header.has_default_acl && Contains(present, kDefaultAcl)) {
      changing();
      if (target.Remove(kDefaultAcl) != 0 && !Absent(errno)) return fail(errno);
    }
    if (!link && (mode_unsure || mode != header.mode)) {
      changing();
      if (target.Chmod(static_cast<mode_t>(header.mode)) != 0) return fail(errno);
    }
    if (header.has_access_acl &&
        !SetAttributeIfDifferent(target, present, kAccessAcl, access_acl, changing)) {
      return fail(errno);
    }
    if (header.has_default_acl && directory &&
        !SetAttributeIfDifferent(target, present, kDefaultAcl, default_acl, changing)) {
      return fail(errno);
    }
  }
  if (apply & SACL_SECURITY_INFORMATION) {
    for (const std::string& name : present) {
      if (IsSystemAclName(name) && attributes.count(name) == 0) {
        changing();
        if (target.Remove(name.c_str()) != 0 && errno != ENODATA) return fail(errno);
      }
    }
    for (const auto& [name, value] : attributes) {
      if (!SetAttributeIfDifferent(target, present, name, value, changing)) return fail(errno);
    }
  }
  if (!changed) SetLastErrorCode(kAlreadyAsAsked);
  return 1;
}

// A directory the run created carries its parent's default ACL already
// (mkdir copies it) and is given the access ACL a directory created with
// mode 0777 would have had; a named temporary file takes `directory`'s.
// Without a default ACL the umask decides, as for any new object; a
// directory keeps the set-group-ID bit it inherited.
BOOL ApplyInheritedSecurity(HANDLE object, HANDLE directory, HANDLE like) {
  Handle* handle = FromHandle(object);
  const bool unnamed = handle != nullptr && handle->temporary == Handle::Temporary::kUnnamed;
  // An unnamed file starts with a new file's security already.
  if (unnamed && like == nullptr) return 1;
  mode_t like_bits = 0;
  if (like != nullptr) {
    const struct statx* model = StatusOf(like);
    if (model == nullptr) return 0;
    like_bits = model->stx_mode & 0777;
  }
  const struct statx* sx = StatusOf(object);
  const int fd = sx != nullptr ? DescriptorOf(object) : -1;
  if (fd < 0) return 0;
  if (S_ISLNK(sx->stx_mode)) return 1;  // a link has no security of its own to inherit
  const Object target = Object::Of(object, fd);
  const bool is_directory = S_ISDIR(sx->stx_mode);
  const mode_t plain_mode = is_directory ? 0777 : 0666;
  const mode_t create_mode = like != nullptr ? like_bits : plain_mode;
  const mode_t kept = is_directory ? (sx->stx_mode & S_ISGID) : 0;
  const int inherits_from =
      is_directory ? fd : (directory != nullptr ? DescriptorOf(directory) : -1);
  std::string default_acl;
  const bool inherited =
      inherits_from >= 0 && ReadAttribute(Object(inherits_from), kDefaultAcl, &default_acl);
  if (!inherited && inherits_from >= 0 && !Absent(errno)) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  // The unnamed file was made with the plain mode under the same umask:
  // where that already gave what is wanted, nothing is written.
  if (unnamed && !inherited &&
      (plain_mode & ~ProcessUmask()) == (create_mode & ~ProcessUmask())) {
    return 1;
  }
  ForgetStatus(object);
  const int result =
      inherited ? target.Set(kAccessAcl, AccessAclForNewObject(default_acl, create_mode).data(),
                             default_acl.size())
                : target.Chmod((create_mode & ~ProcessUmask()) | kept);
  if (result != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

}  // namespace vx::posix
