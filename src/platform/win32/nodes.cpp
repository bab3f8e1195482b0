// Links, named streams and raw encrypted copies.
#include "internal.h"

namespace vx::win32 {

BOOL Win32ReadLinkTarget(HANDLE link, void* target, DWORD size, DWORD* returned) {
  ::DWORD got = 0;
  if (!::DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, target, size, &got, nullptr)) {
    return 0;
  }
  if (!win32::IsLinkData(target, got)) {
    ::SetLastError(ERROR_NOT_A_REPARSE_POINT);
    return 0;
  }
  *returned = got;
  return 1;
}

// An empty file or directory, made a link by its reparse data. One that
// cannot be made a link (no privilege, a file system without reparse
// points) is removed again.
HANDLE Win32CreateLinkAtW(HANDLE directory, const char16_t* name, const void* target, DWORD size,
                          DWORD attributes, DWORD access) {
  const NameBelow below(directory, name);
  const ULONG kind =
      (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE;
  HANDLE link = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status =
      OpenBelow(below, access | GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                kind | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, &link, &outcome);
  if (status == STATUS_OBJECT_NAME_COLLISION) {
    ::SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  if (status < 0) return FailWithStatus(status);
  ::DWORD unused = 0;
  if (!::DeviceIoControl(link, FSCTL_SET_REPARSE_POINT, const_cast<void*>(target), size, nullptr, 0,
                         &unused, nullptr)) {
    const DWORD code = ::GetLastError();
    FILE_DISPOSITION_INFO dispose = {TRUE};
    ::SetFileInformationByHandle(link, FileDispositionInfo, &dispose, sizeof dispose);
    ::CloseHandle(link);
    ::SetLastError(code);
    return INVALID_HANDLE_VALUE;
  }
  ::SetLastError(ERROR_SUCCESS);
  return link;
}

static_assert(sizeof(FILE_STREAM_INFO) == sizeof(::FILE_STREAM_INFO));

// The run's own marks on a directory are left out: no copy or comparison
// ever meets them. A directory that holds nothing else holds no stream.
BOOL Win32GetStreamInformation(HANDLE file, void* records, DWORD size) {
  if (!::GetFileInformationByHandleEx(file, FileStreamInfo, records, size)) return 0;
  if (DropMarkStreams(static_cast<unsigned char*>(records), size) == 0) {
    ::SetLastError(ERROR_HANDLE_EOF);
    return 0;
  }
  return 1;
}

// NtCreateFile opens a stream relative to its file's handle by the stream
// name alone.
HANDLE Win32CreateStreamW(HANDLE file, const char16_t* stream, DWORD access, DWORD disposition) {
  if (disposition != OPEN_EXISTING && disposition != CREATE_NEW) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const NameBelow below(file, stream);
  HANDLE opened = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status =
      OpenBelow(below, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                disposition == CREATE_NEW ? FILE_CREATE : FILE_OPEN,
                FILE_NON_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, &opened, &outcome);
  if (status < 0) return FailWithStatus(status);
  ::SetLastError(ERROR_SUCCESS);
  return opened;
}

// Whether the path names the object open as `file` (no link followed).
bool PathNamesObject(const std::u16string& path, HANDLE file) {
  HANDLE named = ::CreateFileW(Wide(path.c_str()), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  const bool same = SameOpenFile(file, named);
  ::CloseHandle(named);
  return same;
}

// The short (8.3) form of an existing path; false where the volume keeps
// none or the path cannot be read.
bool ShortPathOf(const std::u16string& path, std::u16string* short_form) {
  std::vector<wchar_t> text(path.size() + 1);
  const DWORD units = ::GetShortPathNameW(Wide(path.c_str()), text.data(),
                                          static_cast<DWORD>(text.size()));
  if (units == 0 || units >= text.size()) return false;
  short_form->assign(text.begin(), text.begin() + units);
  return true;
}

// The raw calls open by path: the source's path must still name the object
// the walk opened before and after its export, and the new name must be
// free, checked handle-relative, before the import makes it.
HANDLE Win32CreateEncryptedCopyAtW(HANDLE source, HANDLE directory, const char16_t* name,
                                   DWORD access) {
  DWORD volume_flags = 0;
  if (!Win32GetVolumeFeatures(directory, &volume_flags)) return INVALID_HANDLE_VALUE;
  if ((volume_flags & FILE_SUPPORTS_ENCRYPTION) == 0) {
    ::SetLastError(ERROR_VOLUME_NOT_SUPPORT_EFS);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE taken = Win32CreateFileAtW(directory, name, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NODE);
  if (taken != INVALID_HANDLE_VALUE) {
    ::CloseHandle(taken);
    ::SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  // The raw calls take full paths only.
  std::u16string source_path;
  std::u16string directory_path;
  if (!OpenablePathOf(source, &source_path) || !OpenablePathOf(directory, &directory_path)) {
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string from = PathForRawCall(source_path, u"", ShortPathOf);
  const std::u16string to = PathForRawCall(directory_path, name, ShortPathOf);
  if (from.empty() || to.empty()) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  if (!PathNamesObject(from, source)) {
    ::SetLastError(ERROR_FILE_INVALID);
    return INVALID_HANDLE_VALUE;
  }
  DWORD code = win32::CopyEncryptedRaw(Wide(from.c_str()), Wide(to.c_str()));
  if (code == ERROR_SUCCESS && !PathNamesObject(from, source)) code = ERROR_FILE_INVALID;
  HANDLE made = INVALID_HANDLE_VALUE;
  if (code == ERROR_SUCCESS) {
    made = Win32CreateFileAtW(directory, name, access | DELETE, 0, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (made == INVALID_HANDLE_VALUE) code = ::GetLastError();
  }
  if (made == INVALID_HANDLE_VALUE) {
    // Whatever the import made of the name goes; nothing else can be there.
    Win32DeleteFileAtW(directory, name);
    ::SetLastError(code);
  }
  return made;
}

static_assert(sizeof(FILE_ALLOCATED_RANGE_BUFFER) == sizeof(::FILE_ALLOCATED_RANGE_BUFFER));

}  // namespace vx::win32
