// The security the run's new objects get: what a plain create gives under
// the parent's final security.
#include "internal.h"

namespace vx::win32 {

// Owner, group and access list of an open object.
bool ReadDescriptor(HANDLE object, std::vector<unsigned char>* out) {
  constexpr DWORD kParts =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  ::DWORD needed = 0;
  ::GetKernelObjectSecurity(object, kParts, nullptr, 0, &needed);
  if (needed == 0) return false;
  out->resize(needed);
  return ::GetKernelObjectSecurity(object, kParts, out->data(), needed, &needed);
}

HANDLE OpenParentWith(HANDLE directory, DWORD access);

struct FinalDescriptorOps {
  bool read(HANDLE directory, std::vector<unsigned char>* out) {
    return ReadDescriptor(directory, out);
  }
  // The run's own: the private shape and the mark the walk puts on each
  // directory it made private (MarkPrivate's "private"), so that an
  // administrator's protected one-entry list is never passed over.
  bool is_private(HANDLE directory, const std::vector<unsigned char>& descriptor) {
    if (!win32::IsPrivateDescriptor(descriptor.data())) return false;
    char value[8];
    DWORD returned = 0;
    return Win32GetDirectoryMark(directory, u"private", value, sizeof value, &returned) ||
           ::GetLastError() == ERROR_MORE_DATA;
  }
  // A volume's root has no parent (ERROR_FILE_NOT_FOUND from
  // OpenParentWith); any other failure is one.
  ParentOpen open_parent(HANDLE directory, HANDLE* parent) {
    *parent = OpenParentWith(directory, READ_CONTROL);
    if (*parent != INVALID_HANDLE_VALUE) return ParentOpen::kOpened;
    return ::GetLastError() == ERROR_FILE_NOT_FOUND ? ParentOpen::kTop : ParentOpen::kFailed;
  }
  void close(HANDLE directory) { ::CloseHandle(directory); }
  bool inherit(const std::vector<unsigned char>& parent, const std::vector<unsigned char>& own,
               bool container, std::vector<unsigned char>* out) {
    return win32::InheritedDescriptor(parent, own, container, out);
  }
};

// An object the run made gets the access list a plain create in its
// parent gives, computed from the parent's final security: a parent the
// run is still filling holds its private list until its own subtree is
// done. A file made in a parent that is not private took that at its
// create; a root, which has no parent handle, was made the ordinary way.
BOOL Win32ApplyInheritedSecurity(HANDLE object, HANDLE directory, HANDLE) {
  if (directory == nullptr || PrivateDirectorySecurity().empty()) return 1;
  ::BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(object, &info)) return 0;
  const bool container = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  FinalDescriptorOps ops;
  std::vector<unsigned char> parent;
  if (!ops.read(directory, &parent)) return 0;
  if (!container && !ops.is_private(directory, parent)) return 1;
  std::vector<unsigned char> own;
  std::vector<unsigned char> inherited;
  if (!win32::FinalDescriptorFrom(directory, parent, ops, &parent) || !ops.read(object, &own) ||
      !ops.inherit(parent, own, container, &inherited)) {
    return 0;
  }
  // No access list computed: applying "no list" would open it to everyone.
  if (inherited.empty()) return 1;
  return ::SetKernelObjectSecurity(
      object, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, inherited.data());
}

static_assert(sizeof(FILE_ID_INFO) == sizeof(::FILE_ID_INFO));

BOOL Win32IsOwnedByRunner(HANDLE object, BOOL* owned) {
  return win32::IsOwnedByRunner(object, owned);
}

BOOL Win32IsPrivateDirectory(HANDLE directory, BOOL* is_private) {
  return win32::IsPrivateDirectory(directory, is_private);
}

}  // namespace vx::win32
