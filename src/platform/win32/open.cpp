// Opening and creating below an open directory, and the checks on what an
// open reached: never through a link, never another object than named.
#include "internal.h"

namespace vx::win32 {

// The open's answer for an NT status: the matching system error code.
HANDLE FailWithStatus(NTSTATUS status) {
  ::SetLastError(::RtlNtStatusToDosError(status));
  return INVALID_HANDLE_VALUE;
}

// Whether an open object is a reparse point, and then what kind by its
// tag (a tag that cannot be read counts as a link's) and whether it is a
// directory.
bool ReparseClassOf(HANDLE file, ReparseClass* kind, bool* directory) {
  ::BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return false;
  }
  *directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  FILE_ATTRIBUTE_TAG_INFO tag;
  *kind = ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)
              ? ClassifyReparseTag(tag.ReparseTag)
              : ReparseClass::kLink;
  return true;
}

BOOL Win32GetUnknownReparseTag(HANDLE file, ULONG* tag) {
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) return 0;
  if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
      IsDocumentedReparseTag(info.ReparseTag)) {
    ::SetLastError(ERROR_NOT_A_REPARSE_POINT);
    return 0;
  }
  *tag = info.ReparseTag;
  return 1;
}

bool SameOpenFile(HANDLE one, HANDLE other) {
  ::BY_HANDLE_FILE_INFORMATION first;
  ::BY_HANDLE_FILE_INFORMATION second;
  return ::GetFileInformationByHandle(one, &first) && ::GetFileInformationByHandle(other, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

// A reparse point whose tag is a name surrogate leads elsewhere.
bool IsNameSurrogate(HANDLE file) {
  ReparseClass kind = ReparseClass::kData;
  bool directory = false;
  return ReparseClassOf(file, &kind, &directory) && kind == ReparseClass::kLink;
}

// The path of an open object on its volume ("\Data\a.txt"), as the file
// system resolved it.
bool NameOnVolume(HANDLE file, std::wstring* name) {
  thread_local std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + 65536);
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
  if (!::GetFileInformationByHandleEx(file, FileNameInfo, info,
                                      static_cast<DWORD>(buffer.size()))) {
    return false;
  }
  name->assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
  return true;
}

// Whether `file`, opened as `name` below `directory`, is that entry itself
// and not an object reached through a link. Windows opens the reparse point
// itself and marks it; Wine follows a Unix link whatever the flags say and
// shows no mark, but the name of what it opened is then the link's target.
bool IsEntryItself(HANDLE directory, const char16_t* name, HANDLE file, bool name_surrogate) {
  if (name_surrogate) return false;
  std::wstring directory_name;
  std::wstring file_name;
  if (!NameOnVolume(directory, &directory_name) || !NameOnVolume(file, &file_name)) return true;
  if (directory_name.empty() || directory_name.back() != L'\\') directory_name += L'\\';
  directory_name += Wide(name);
  return ::CompareStringOrdinal(directory_name.data(), static_cast<int>(directory_name.size()),
                                file_name.data(), static_cast<int>(file_name.size()),
                                TRUE) == CSTR_EQUAL;
}

namespace {

// `file`, a reparse point that holds data, opened again without
// FILE_OPEN_REPARSE_POINT; closed either way. The second open must reach
// the same object (not one swapped in at the name since).
HANDLE ReopenForData(const NameBelow& below, DWORD access, DWORD share, ULONG options,
                     HANDLE file) {
  HANDLE data = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status =
      OpenBelow(below, access, share, FILE_OPEN, options & ~FILE_OPEN_REPARSE_POINT, &data, &outcome);
  const bool same = status >= 0 && SameOpenFile(file, data);
  ::CloseHandle(file);
  if (status < 0) return FailWithStatus(status);
  if (!same) {
    ::CloseHandle(data);
    ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return INVALID_HANDLE_VALUE;
  }
  ::SetLastError(ERROR_SUCCESS);
  return data;
}

}  // namespace

NTSTATUS OpenBelow(const NameBelow& below, DWORD access, DWORD share, ULONG disposition,
                   ULONG options, HANDLE* file, ULONG_PTR* outcome) {
  ::IO_STATUS_BLOCK io_status = {};
  // As CreateFileW does: synchronous access and the right to read attributes.
  const NTSTATUS status = NtCreateFile(
      file, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
      const_cast<POBJECT_ATTRIBUTES>(&below.attributes), &io_status, nullptr, FILE_ATTRIBUTE_NORMAL,
      share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  *outcome = io_status.Information;
  return status;
}

// OPEN_EXISTING, or CREATE_NEW (a new name only: nothing there is followed,
// and a taken name, a link included, fails as CreateFileW's CREATE_NEW
// does). A copy never opens an existing file for writing: it replaces it by
// a rename (Win32MoveFileAtW).
HANDLE Win32CreateFileAtW(HANDLE directory, const char16_t* name, DWORD access, DWORD share,
                          DWORD disposition, DWORD flags) {
  if (disposition != OPEN_EXISTING && disposition != CREATE_NEW) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const NameBelow below(directory, name);
  const bool open_node = (flags & FILE_FLAG_OPEN_NODE) != 0;
  const bool no_follow = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 || open_node;
  ULONG options =
      (flags & FILE_FLAG_BACKUP_SEMANTICS) ? FILE_OPEN_FOR_BACKUP_INTENT : FILE_NON_DIRECTORY_FILE;
  if (no_follow) options |= FILE_OPEN_REPARSE_POINT;
  // STATUS_NOT_A_DIRECTORY for anything else, which is ERROR_DIRECTORY.
  if (flags & FILE_FLAG_DIRECTORY_ONLY) options |= FILE_DIRECTORY_FILE;
  HANDLE file = nullptr;
  ULONG_PTR outcome = 0;
  if (disposition == CREATE_NEW) {
    const NTSTATUS status = OpenBelow(below, access, share, FILE_CREATE, options, &file, &outcome);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
      ::SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (status < 0) return FailWithStatus(status);
    ::SetLastError(ERROR_SUCCESS);
    return file;
  }
  const NTSTATUS status = OpenBelow(below, access, share, FILE_OPEN, options, &file, &outcome);
  if (status < 0) return FailWithStatus(status);
  ReparseClass kind = ReparseClass::kData;
  bool directory_kind = false;
  const bool reparse = no_follow && ReparseClassOf(file, &kind, &directory_kind);
  const bool surrogate = reparse && kind == ReparseClass::kLink;
  // A node open takes a link as itself; the check still catches a system
  // that followed it anyway (Wine).
  if (no_follow && !(open_node && surrogate) && !IsEntryItself(directory, name, file, surrogate)) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return INVALID_HANDLE_VALUE;
  }
  // A deduplicated or compressed file opened as the reparse point holds no
  // data ranges of its own: read so it would copy as zeros. Opened for its
  // data, it is opened again as itself, where the file system's filter hands
  // the data out, and must still be the very object the first open found.
  const bool reads_data = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  if (reparse && kind == ReparseClass::kData && !open_node && !directory_kind && reads_data) {
    return ReopenForData(below, access, share, options, file);
  }
  ::SetLastError(ERROR_SUCCESS);
  return file;
}

// The security directories start with; empty where they are not made
// private (a system that computes no inherited access list afterwards).
const std::vector<unsigned char>& PrivateDirectorySecurity() {
  static const std::vector<unsigned char> security = win32::ComputesInheritance()
                                                         ? win32::PrivateDirectoryDescriptor()
                                                         : std::vector<unsigned char>();
  return security;
}

// FILE_CREATE fails on any existing name, a link included, and never
// follows one. The directory starts private to the run, and the handle
// that made it is the one handed back.
HANDLE Win32CreateDirectoryAtW(HANDLE directory, const char16_t* name, DWORD access) {
  const std::vector<unsigned char>& private_security = PrivateDirectorySecurity();
  NameBelow below(directory, name);
  if (!private_security.empty()) {
    below.attributes.SecurityDescriptor = const_cast<unsigned char*>(private_security.data());
  }
  HANDLE created = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status =
      OpenBelow(below, access | FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                FILE_CREATE,
                FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT,
                &created, &outcome);
  if (status < 0) return FailWithStatus(status);
  return created;
}

// A file no one else can open while the run writes it: no sharing at all.
HANDLE Win32CreateTemporaryFileAtW(HANDLE directory, const char16_t* name, DWORD access) {
  return Win32CreateFileAtW(directory, name, access | DELETE, 0, CREATE_NEW,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

// The final path with its last name cut off; a volume's root has no parent.
HANDLE OpenParentWith(HANDLE directory, DWORD access) {
  std::u16string path;
  if (!OpenablePathOf(directory, &path)) return INVALID_HANDLE_VALUE;
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  const size_t root_end = RootEndOfPath(path);
  const size_t cut = path.rfind(u'\\');
  if (root_end == std::u16string::npos || cut == std::u16string::npos || cut < root_end) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  path.resize(cut);
  if (cut == root_end) path.push_back(u'\\');  // the root directory, not the volume
  return ::CreateFileW(Wide(path.c_str()), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

DWORD Win32VolumeRootLength(const char16_t* path) {
  const std::u16string_view whole(path);
  const size_t root_end = RootEndOfPath(whole);
  if (root_end == std::u16string_view::npos) return 0;
  return static_cast<DWORD>(std::min(root_end + 1, whole.size()));
}

HANDLE Win32OpenParentDirectory(HANDLE directory, DWORD access) {
  return OpenParentWith(directory, access);
}

// The reparse point itself is opened for its owner.
BOOL Win32MayFollowLink(HANDLE directory, const char16_t* name, HANDLE target, BOOL* may) {
  const NameBelow below(directory, name);
  HANDLE link = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status =
      OpenBelow(below, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, &link, &outcome);
  if (status < 0) {
    FailWithStatus(status);
    return 0;
  }
  const bool done = win32::MayFollowLink(link, target, may);
  const DWORD code = ::GetLastError();
  ::CloseHandle(link);
  ::SetLastError(code);
  return done;
}

}  // namespace vx::win32
