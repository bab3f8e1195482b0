// Putting an object at its name, further names, and removal: POSIX
// semantics where the file system takes them, the plain forms elsewhere.
#include "internal.h"

namespace vx::win32 {

// Sets a file's attributes, leaving its times as they are (0).
bool SetAttributesOnly(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Sets or clears the read-only attribute of `name` below `directory`;
// true where it changed it.
bool SetReadOnly(HANDLE directory, const char16_t* name, bool read_only) {
  const NameBelow below(directory, name);
  HANDLE file = nullptr;
  ULONG_PTR outcome = 0;
  if (OpenBelow(below, FILE_WRITE_ATTRIBUTES,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, &file, &outcome) < 0) {
    return false;
  }
  FILE_BASIC_INFO basic = {};
  bool changed = false;
  if (::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
      ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) != read_only) {
    changed = SetAttributesOnly(file, basic.FileAttributes ^ FILE_ATTRIBUTE_READONLY);
  }
  ::CloseHandle(file);
  return changed;
}

constexpr FILE_INFORMATION_CLASS kFileDispositionInformation =
    static_cast<FILE_INFORMATION_CLASS>(13);
constexpr FILE_INFORMATION_CLASS kFileLinkInformation = static_cast<FILE_INFORMATION_CLASS>(11);
constexpr FILE_INFORMATION_CLASS kFileDispositionInformationEx =
    static_cast<FILE_INFORMATION_CLASS>(64);
constexpr FILE_INFORMATION_CLASS kFileRenameInformationEx =
    static_cast<FILE_INFORMATION_CLASS>(65);
constexpr ULONG kRenameReplaceIfExists = 0x1;
constexpr ULONG kRenamePosixSemantics = 0x2;
constexpr ULONG kRenameIgnoreReadOnly = 0x40;
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;

// One FileRenameInformation-shaped request: `root` and `name` as the
// system is to resolve them (a name below `root`, or a full NT path where
// `root` is null).
NTSTATUS SetNameInformation(HANDLE file, HANDLE root, std::u16string_view name,
                            ULONG replace_or_flags, FILE_INFORMATION_CLASS kind) {
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + (name.size() + 1) * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  std::memcpy(info, &replace_or_flags, sizeof replace_or_flags);
  info->RootDirectory = root;
  info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, name.data(), name.size() * sizeof(wchar_t));
  ::IO_STATUS_BLOCK io_status = {};
  return NtSetInformationFile(file, &io_status, info, static_cast<ULONG>(buffer.size()), kind);
}

// The path of an open object as the system resolved it, in the form
// `flags` asks for (GetFinalPathNameByHandleW): VOLUME_NAME_NT gives
// "\Device\HarddiskVolume3\Data", VOLUME_NAME_DOS "\\?\C:\Data".
bool FinalPathOf(HANDLE object, DWORD flags, std::u16string* path) {
  std::vector<wchar_t> text(1024);
  for (;;) {
    const DWORD units =
        ::GetFinalPathNameByHandleW(object, text.data(), static_cast<DWORD>(text.size()), flags);
    if (units == 0) return false;
    if (units < text.size()) {
      path->assign(text.begin(), text.begin() + units);
      return true;
    }
    text.resize(units + 1);
  }
}

// A full path that opens the object again: its drive-letter form; on a
// volume with no drive (mounted in a folder only, or a shadow copy), its
// "\\?\Volume{GUID}\" form, else its device path below "\\?\GLOBALROOT".
bool OpenablePathOf(HANDLE object, std::u16string* path) {
  if (FinalPathOf(object, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS, path) ||
      FinalPathOf(object, FILE_NAME_NORMALIZED | VOLUME_NAME_GUID, path)) {
    return true;
  }
  if (!FinalPathOf(object, FILE_NAME_NORMALIZED | VOLUME_NAME_NT, path)) return false;
  path->insert(0, u"\\\\?\\GLOBALROOT");
  return true;
}

// A name for the open file relative to the directory's handle, in one step:
// FileRenameInformation moves it there (with `replace` the old file goes as
// a name, its other hard links keeping their data); FileLinkInformation,
// of the same layout, adds it as a further name; FileRenameInformationEx
// takes flags where the others take `replace`, in the same place.
// NtSetInformationFile takes the name as it is; the kernel32 form would make
// it a full path of the current directory.
//
// An SMB client and some file systems take no root directory
// (STATUS_INVALID_PARAMETER): the directory's full path is given instead,
// and the directory must still be found at that path afterwards.
//
// The file's times are put back on the handle afterwards: NTFS name
// tunnelling gives a file that takes a recently freed name that name's
// creation time.
NTSTATUS NameBelowFor(HANDLE file, HANDLE directory, const char16_t* name, ULONG replace_or_flags,
                      FILE_INFORMATION_CLASS kind) {
  FILE_BASIC_INFO times = {};
  const bool times_kept = ::GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times);
  std::u16string directory_path;
  const NTSTATUS status = win32::ByHandleOrPath(
      [&] { return SetNameInformation(file, directory, name, replace_or_flags, kind); },
      [&] {
        if (!FinalPathOf(directory, VOLUME_NAME_NT, &directory_path)) {
          return win32::kStatusInvalidParameter;
        }
        return SetNameInformation(file, nullptr, directory_path + u'\\' + name, replace_or_flags,
                                  kind);
      },
      [&] {
        std::u16string now;
        return FinalPathOf(directory, VOLUME_NAME_NT, &now) && now == directory_path;
      });
  if (status >= 0 && times_kept) {
    times.FileAttributes = 0;  // left as they are
    times.ChangeTime.QuadPart = 0;
    ::SetFileInformationByHandle(file, FileBasicInfo, &times, sizeof times);
  }
  return status;
}

// Whether `name` below `directory` is a link that leads to a directory: a
// rename never replaces one, so it is removed as a link first.
bool IsDirectoryLink(HANDLE directory, const char16_t* name) {
  const NameBelow below(directory, name);
  HANDLE object = nullptr;
  ULONG_PTR outcome = 0;
  if (OpenBelow(below, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, &object, &outcome) < 0) {
    return false;
  }
  const bool link = IsNameSurrogate(object);
  ::BY_HANDLE_FILE_INFORMATION info;
  const bool directory_kind = ::GetFileInformationByHandle(object, &info) &&
                              (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  ::CloseHandle(object);
  return link && directory_kind;
}

NTSTATUS DeleteBelow(HANDLE directory, const char16_t* name, bool directory_wanted);

NTSTATUS RenameBelow(HANDLE file, HANDLE directory, const char16_t* new_name, BOOL replace) {
  const ULONG flags = kRenamePosixSemantics | kRenameIgnoreReadOnly |
                      (replace ? kRenameReplaceIfExists : 0);
  return win32::ReplaceOrDelete(
      replace != 0,
      [&] { return NameBelowFor(file, directory, new_name, flags, kFileRenameInformationEx); },
      [&] { return NameBelowFor(file, directory, new_name, replace, FileRenameInformation); },
      [&] { return SetReadOnly(directory, new_name, false); },
      [&] { SetReadOnly(directory, new_name, true); });
}

BOOL Win32MoveFileAtW(HANDLE file, HANDLE directory, const char16_t*, const char16_t* new_name,
                      BOOL replace) {
  NTSTATUS status = RenameBelow(file, directory, new_name, replace);
  if (status < 0 && replace && IsDirectoryLink(directory, new_name) &&
      DeleteBelow(directory, new_name, false) >= 0) {
    status = RenameBelow(file, directory, new_name, FALSE);
  }
  if (status < 0) {
    FailWithStatus(status);
    return 0;
  }
  return 1;
}

// Marks the open object for deletion; it goes when its last handle closes
// (with POSIX semantics its name goes at once, though others hold it open).
// A directory that is not empty refuses with STATUS_DIRECTORY_NOT_EMPTY.
NTSTATUS Dispose(HANDLE object, bool extended) {
  ::IO_STATUS_BLOCK io_status = {};
  if (extended) {
    ULONG flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
    return NtSetInformationFile(object, &io_status, &flags, sizeof flags,
                                kFileDispositionInformationEx);
  }
  BOOLEAN delete_file = TRUE;
  return NtSetInformationFile(object, &io_status, &delete_file, sizeof delete_file,
                              kFileDispositionInformation);
}

// Opens `name` below `directory` for deletion, never through a link, and
// marks it: `directory_wanted` says which kind it must be. A directory link
// is deleted as a link, whichever is asked. A read-only one goes too.
NTSTATUS DeleteBelow(HANDLE directory, const char16_t* name, bool directory_wanted) {
  const NameBelow below(directory, name);
  HANDLE object = nullptr;
  ULONG_PTR outcome = 0;
  NTSTATUS status =
      OpenBelow(below, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, &object, &outcome);
  if (status < 0) return status;
  ::BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(object, &info)) {
    ::CloseHandle(object);
    return static_cast<NTSTATUS>(0xC0000001);
  }
  const bool is_link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const bool is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !is_link;
  if (is_directory != directory_wanted) {
    ::CloseHandle(object);
    return directory_wanted ? static_cast<NTSTATUS>(0xC0000103)   // not a directory
                            : static_cast<NTSTATUS>(0xC00000BA);  // is a directory
  }
  status = win32::ReplaceOrDelete(
      true, [&] { return Dispose(object, true); }, [&] { return Dispose(object, false); },
      [&] { return SetReadOnly(directory, name, false); },
      [&] { SetReadOnly(directory, name, true); });
  ::CloseHandle(object);
  return status;
}

BOOL Win32DeleteFileAtW(HANDLE directory, const char16_t* name) {
  const NTSTATUS status = DeleteBelow(directory, name, false);
  if (status < 0) {
    FailWithStatus(status);
    return 0;
  }
  return 1;
}

// A directory that is not empty refuses its disposition:
// ERROR_DIR_NOT_EMPTY.
BOOL Win32RemoveDirectoryAtW(HANDLE directory, const char16_t* name) {
  const NTSTATUS status = DeleteBelow(directory, name, true);
  if (status < 0) {
    FailWithStatus(status);
    return 0;
  }
  return 1;
}

// The open object renamed relative to the other directory's handle.
BOOL Win32MoveEntryAtW(HANDLE object, HANDLE, const char16_t*, HANDLE to_directory,
                       const char16_t* new_name) {
  const NTSTATUS status = RenameBelow(object, to_directory, new_name, FALSE);
  if (status < 0) {
    FailWithStatus(status);
    return 0;
  }
  return 1;
}

// A further name for the open file, relative to the directory's handle.
BOOL Win32CreateHardLinkAtW(HANDLE file, HANDLE directory, const char16_t* name) {
  const NTSTATUS status = NameBelowFor(file, directory, name, FALSE, kFileLinkInformation);
  if (status < 0) {
    FailWithStatus(status);
    return 0;
  }
  return 1;
}

}  // namespace vx::win32
