// Windows backend: every entry passes straight to the real service.
//
// platform.h comes first: its constants carry the names that <windows.h>
// then defines as macros, which this file never uses.
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "encrypted-win32.h"
#include "platform.h"
#include "replace-win32.h"
#include "security-win32.h"
// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <winioctl.h>
#include <winternl.h>
// clang-format on

namespace vx {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide calls take UTF-16 as it is");
static_assert(sizeof(FILETIME) == sizeof(::FILETIME));
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == sizeof(::BY_HANDLE_FILE_INFORMATION));
static_assert(sizeof(TOKEN_PRIVILEGES) == sizeof(::TOKEN_PRIVILEGES));
static_assert(sizeof(LUID) == sizeof(::LUID));

const wchar_t* Wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

HANDLE Win32CreateFileW(const char16_t* name, DWORD access, DWORD share, void* security,
                        DWORD disposition, DWORD flags, HANDLE template_file) {
  const bool directory_only = (flags & FILE_FLAG_DIRECTORY_ONLY) != 0;
  // A node is opened as the reparse point itself; the flag is Velmox's own.
  if (flags & FILE_FLAG_OPEN_NODE) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE file = ::CreateFileW(Wide(name), access, share,
                              static_cast<LPSECURITY_ATTRIBUTES>(security), disposition,
                              flags & ~(FILE_FLAG_DIRECTORY_ONLY | FILE_FLAG_OPEN_NODE),
                              template_file);
  if (file == INVALID_HANDLE_VALUE || !directory_only) return file;
  ::BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return file;
  }
  ::CloseHandle(file);
  ::SetLastError(ERROR_DIRECTORY);
  return INVALID_HANDLE_VALUE;
}

BOOL Win32CreateDirectoryW(const char16_t* name, void* security) {
  return ::CreateDirectoryW(Wide(name), static_cast<LPSECURITY_ATTRIBUTES>(security));
}

BOOL Win32ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read, void* overlapped) {
  return ::ReadFile(file, buffer, to_read, reinterpret_cast<LPDWORD>(read),
                    static_cast<LPOVERLAPPED>(overlapped));
}

BOOL Win32WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                    void* overlapped) {
  return ::WriteFile(file, buffer, to_write, reinterpret_cast<LPDWORD>(written),
                     static_cast<LPOVERLAPPED>(overlapped));
}

BOOL Win32GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return ::GetFileInformationByHandle(file, reinterpret_cast<::BY_HANDLE_FILE_INFORMATION*>(info));
}

BOOL Win32SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access,
                      const FILETIME* write) {
  return ::SetFileTime(file, reinterpret_cast<const ::FILETIME*>(creation),
                       reinterpret_cast<const ::FILETIME*>(access),
                       reinterpret_cast<const ::FILETIME*>(write));
}

LONG Win32CompareFileTime(const FILETIME* first, const FILETIME* second) {
  return ::CompareFileTime(reinterpret_cast<const ::FILETIME*>(first),
                           reinterpret_cast<const ::FILETIME*>(second));
}

BOOL Win32CloseHandle(HANDLE object) {
  return ::CloseHandle(object);
}
DWORD Win32GetLastError() {
  return ::GetLastError();
}
void Win32SetLastError(DWORD code) {
  ::SetLastError(code);
}

DWORD Win32FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                          char16_t* buffer, DWORD size, void* arguments) {
  return ::FormatMessageW(flags, source, message_id, language_id, reinterpret_cast<LPWSTR>(buffer),
                          size, static_cast<va_list*>(arguments));
}

void* Win32LocalFree(void* memory) {
  return ::LocalFree(memory);
}

HMODULE Win32GetModuleHandleA(const char* module_name) {
  return ::GetModuleHandleA(module_name);
}

FARPROC Win32GetProcAddress(HMODULE module, const char* proc_name) {
  return reinterpret_cast<FARPROC>(::GetProcAddress(static_cast<::HMODULE>(module), proc_name));
}

void* Win32VirtualAlloc(void* address, size_t size, DWORD allocation_type, DWORD protect) {
  return ::VirtualAlloc(address, size, allocation_type, protect);
}

void Win32GetSystemTimeAsFileTime(FILETIME* now) {
  ::GetSystemTimeAsFileTime(reinterpret_cast<::FILETIME*>(now));
}

HANDLE Win32GetCurrentProcess() {
  return ::GetCurrentProcess();
}

BOOL Win32OpenProcessToken(HANDLE process, DWORD desired_access, HANDLE* token) {
  return ::OpenProcessToken(process, desired_access, token);
}

BOOL Win32LookupPrivilegeValueA(const char* system_name, const char* name, LUID* luid) {
  return ::LookupPrivilegeValueA(system_name, name, reinterpret_cast<::LUID*>(luid));
}

BOOL Win32AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                                DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                                DWORD* return_length) {
  return ::AdjustTokenPrivileges(token, disable_all,
                                 reinterpret_cast<::TOKEN_PRIVILEGES*>(new_state), buffer_length,
                                 reinterpret_cast<::TOKEN_PRIVILEGES*>(previous_state),
                                 reinterpret_cast<PDWORD>(return_length));
}

BOOL Win32GetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor, DWORD length,
                                  DWORD* length_needed) {
  return ::GetKernelObjectSecurity(object, information, descriptor, length,
                                   reinterpret_cast<LPDWORD>(length_needed));
}

BOOL Win32SetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor) {
  return ::SetKernelObjectSecurity(object, information, descriptor);
}

HANDLE Win32GetStdHandle(DWORD which) {
  return ::GetStdHandle(which);
}
DWORD Win32GetFileType(HANDLE file) {
  return ::GetFileType(file);
}

BOOL Win32GetTerminalColumns(HANDLE console, DWORD* columns) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!::GetConsoleScreenBufferInfo(console, &info)) return 0;
  *columns = static_cast<DWORD>(info.srWindow.Right - info.srWindow.Left + 1);
  return 1;
}

constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);

// The open's answer for an NT status: the matching system error code.
HANDLE FailWithStatus(NTSTATUS status) {
  ::SetLastError(::RtlNtStatusToDosError(status));
  return INVALID_HANDLE_VALUE;
}

// A reparse point whose tag is a name surrogate leads elsewhere; a tag that
// cannot be read counts as a link.
bool IsNameSurrogate(HANDLE file) {
  ::BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return false;
  }
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return win32::IsNameSurrogateTag(tag.ReparseTag);
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
bool IsEntryItself(HANDLE directory, const char16_t* name, HANDLE file) {
  if (IsNameSurrogate(file)) return false;
  std::wstring directory_name;
  std::wstring file_name;
  if (!NameOnVolume(directory, &directory_name) || !NameOnVolume(file, &file_name)) return true;
  if (directory_name.empty() || directory_name.back() != L'\\') directory_name += L'\\';
  directory_name += Wide(name);
  return ::CompareStringOrdinal(directory_name.data(), static_cast<int>(directory_name.size()),
                                file_name.data(), static_cast<int>(file_name.size()),
                                TRUE) == CSTR_EQUAL;
}

// `name` below the open directory `directory`: one component, resolved by
// the file system relative to the handle, so a directory on the way that is
// swapped for a link meanwhile cannot redirect the open.
struct NameBelow {
  NameBelow(HANDLE directory, const char16_t* name) {
    text.Buffer = const_cast<PWSTR>(Wide(name));
    text.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(name) * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, directory, nullptr);
  }
  NameBelow(const NameBelow&) = delete;
  UNICODE_STRING text;
  OBJECT_ATTRIBUTES attributes;
};

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
  // A node open takes a link as itself; the check still catches a system
  // that followed it anyway (Wine).
  if (no_follow && !(open_node && IsNameSurrogate(file)) && !IsEntryItself(directory, name, file)) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return INVALID_HANDLE_VALUE;
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

void Win32Sleep(DWORD milliseconds) {
  ::Sleep(milliseconds);
}

BOOL (*g_stop_handler)(DWORD event) = nullptr;

// For the console closing, logoff and shutdown, Windows ends the process as
// soon as the handler returns; sleeping here gives the run the few seconds
// the system allows to wind down, and ends with the process when it exits.
::BOOL WINAPI StopHandlerTrampoline(::DWORD event) {
  const BOOL handled = g_stop_handler(event);
  if (event >= CTRL_CLOSE_EVENT) ::Sleep(INFINITE);
  return handled;
}

BOOL Win32SetConsoleCtrlHandler(BOOL (*handler)(DWORD event), BOOL add) {
  g_stop_handler = handler;
  return ::SetConsoleCtrlHandler(StopHandlerTrampoline, add);
}

void Win32ExitProcess(UINT exit_code) {
  ::ExitProcess(exit_code);
}

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
  bool is_private(const std::vector<unsigned char>& descriptor) {
    return win32::IsPrivateDescriptor(descriptor.data());
  }
  bool open_parent(HANDLE directory, HANDLE* parent) {
    *parent = OpenParentWith(directory, READ_CONTROL);
    return *parent != INVALID_HANDLE_VALUE;
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
  if (!container && !ops.is_private(parent)) return 1;
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

// A further name for the open file, relative to the directory's handle.
BOOL Win32CreateHardLinkAtW(HANDLE file, HANDLE directory, const char16_t* name) {
  const NTSTATUS status = NameBelowFor(file, directory, name, FALSE, kFileLinkInformation);
  if (status < 0) {
    FailWithStatus(status);
    return 0;
  }
  return 1;
}

BOOL Win32GetFileIdInfo(HANDLE file, FILE_ID_INFO* info) {
  return ::GetFileInformationByHandleEx(file, FileIdInfo, info, sizeof *info);
}

DWORD Win32GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD units) {
  return ::GetFinalPathNameByHandleW(file, reinterpret_cast<wchar_t*>(path), units,
                                     FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
}

// The attributes SetFileAttributes accepts are the source's; the others
// (directory, reparse point, sparse, compressed, ...) stay the
// destination's. Nothing is written where the attributes already match.
BOOL Win32CopyAttributes(HANDLE source, HANDLE destination) {
  // OFFLINE is never carried: a copy holds its data here.
  constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                              FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO from = {};
  FILE_BASIC_INFO to = {};
  if (!::GetFileInformationByHandleEx(source, FileBasicInfo, &from, sizeof from) ||
      !::GetFileInformationByHandleEx(destination, FileBasicInfo, &to, sizeof to)) {
    return 0;
  }
  const DWORD wanted = (to.FileAttributes & ~kSettable) | (from.FileAttributes & kSettable);
  return wanted == to.FileAttributes || SetAttributesOnly(destination, wanted);
}

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

BOOL Win32GetStreamInformation(HANDLE file, void* records, DWORD size) {
  return ::GetFileInformationByHandleEx(file, FileStreamInfo, records, size);
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

// The invariant locale's simple upper-casing, one unit for one: what the
// case-insensitive ordinal comparison applies to each name before it
// compares them.
BOOL Win32UpcaseName(char16_t* name, DWORD units) {
  if (units == 0) return 1;
  std::u16string mapped(units, u'\0');
  const int made = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, Wide(name),
                                   static_cast<int>(units), reinterpret_cast<wchar_t*>(mapped.data()),
                                   static_cast<int>(units), nullptr, nullptr, 0);
  if (made != static_cast<int>(units)) return 0;
  std::memcpy(name, mapped.data(), units * sizeof(char16_t));
  return 1;
}

// FileCaseSensitiveInfo (23) and its flag, which older headers lack.
constexpr FILE_INFO_BY_HANDLE_CLASS kFileCaseSensitiveInfo =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(23);
constexpr ULONG kCaseSensitiveDirectory = 1;

// A system or file system that does not know the query keeps the volume's
// rule: names without case.
BOOL Win32IsCaseSensitiveDirectory(HANDLE directory, BOOL* sensitive) {
  ULONG flags = 0;
  *sensitive = ::GetFileInformationByHandleEx(directory, kFileCaseSensitiveInfo, &flags,
                                              sizeof flags) &&
               (flags & kCaseSensitiveDirectory) != 0;
  return 1;
}

BOOL Win32GetChangeTime(HANDLE file, FILETIME* change) {
  FILE_BASIC_INFO basic = {};
  if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) return 0;
  *change = FileTimeFromTicks(static_cast<uint64_t>(basic.ChangeTime.QuadPart));
  return 1;
}

// The final path with its last name cut off; a volume's root has no parent.
HANDLE OpenParentWith(HANDLE directory, DWORD access) {
  std::u16string path;
  if (!FinalPathOf(directory, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS, &path)) {
    return INVALID_HANDLE_VALUE;
  }
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  // The root: "\\?\C:" or "\\?\UNC\server\share"; a path no longer than
  // it has no parent.
  const bool unc = path.rfind(u"\\\\?\\UNC\\", 0) == 0;
  size_t root_end = unc ? 8 : 4;
  for (int names = unc ? 2 : 1; names > 0 && root_end != std::u16string::npos; --names) {
    root_end = path.find(u'\\', root_end + 1);
  }
  const size_t cut = path.rfind(u'\\');
  if (root_end == std::u16string::npos || cut < root_end) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  path.resize(cut);
  if (cut == root_end) path.push_back(u'\\');  // the root directory, not the volume
  return ::CreateFileW(Wide(path.c_str()), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

HANDLE Win32OpenParentDirectory(HANDLE directory) {
  return OpenParentWith(directory, FILE_READ_ATTRIBUTES);
}

// A directory's marks live in its named streams ":velmox.<name>", which
// nothing lists but a stream query.
std::u16string MarkStream(const char16_t* name) {
  return u":velmox." + std::u16string(name) + u":$DATA";
}

// A volume without named streams (FAT, some shares; Wine, which would make
// a file of that name instead) keeps no marks.
BOOL Win32GetVolumeFeatures(HANDLE object, DWORD* features) {
  ::DWORD flags = 0;
  if (!::GetVolumeInformationByHandleW(object, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return 0;
  }
  *features = flags;
  return 1;
}

bool HasNamedStreams(HANDLE object) {
  DWORD flags = 0;
  if (Win32GetVolumeFeatures(object, &flags) && (flags & FILE_NAMED_STREAMS) != 0) return true;
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

BOOL Win32GetDirectoryMark(HANDLE directory, const char16_t* name, void* value, DWORD size,
                           DWORD* returned) {
  if (!HasNamedStreams(directory)) return 0;
  const std::u16string stream = MarkStream(name);
  const NameBelow below(directory, stream.c_str());
  HANDLE opened = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status = OpenBelow(below, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, &opened,
                                    &outcome);
  if (status < 0) {
    FailWithStatus(status);
    if (::GetLastError() == ERROR_PATH_NOT_FOUND) ::SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  LARGE_INTEGER stream_size = {};
  ::DWORD got = 0;
  BOOL done = ::GetFileSizeEx(opened, &stream_size);
  if (done && stream_size.QuadPart > size) {
    ::SetLastError(ERROR_MORE_DATA);
    done = 0;
  }
  if (done) done = ::ReadFile(opened, value, static_cast<DWORD>(stream_size.QuadPart), &got, nullptr);
  const DWORD code = ::GetLastError();
  ::CloseHandle(opened);
  *returned = got;
  ::SetLastError(code);
  return done;
}

BOOL Win32SetDirectoryMark(HANDLE directory, const char16_t* name, const void* value, DWORD size) {
  if (!HasNamedStreams(directory)) return 0;
  const std::u16string stream = MarkStream(name);
  const NameBelow below(directory, stream.c_str());
  HANDLE opened = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status = OpenBelow(below, GENERIC_WRITE | DELETE, 0,
                                    size == 0 ? FILE_OPEN : FILE_OVERWRITE_IF,
                                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, &opened,
                                    &outcome);
  if (status < 0) {
    FailWithStatus(status);
    // Nothing kept is nothing to remove.
    return size == 0 && (::GetLastError() == ERROR_FILE_NOT_FOUND ||
                         ::GetLastError() == ERROR_PATH_NOT_FOUND);
  }
  ::DWORD written = 0;
  BOOL done = 1;
  if (size == 0) {
    FILE_DISPOSITION_INFO dispose = {TRUE};
    done = ::SetFileInformationByHandle(opened, FileDispositionInfo, &dispose, sizeof dispose);
  } else {
    done = ::WriteFile(opened, value, size, &written, nullptr) && written == size;
  }
  const DWORD code = ::GetLastError();
  ::CloseHandle(opened);
  ::SetLastError(code);
  return done;
}

BOOL Win32FlushFileBuffers(HANDLE file) {
  return ::FlushFileBuffers(file);
}

// The volume that holds `object`, opened for writing ("\\.\C:"), which
// needs administrative rights; a share has none to open, and some file
// systems refuse the flush.
BOOL Win32FlushVolume(HANDLE object, BOOL probe_only) {
  wchar_t path[MAX_PATH + 1];
  if (!::GetFinalPathNameByHandleW(object, path, MAX_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) ||
      std::wcsncmp(path, L"\\\\?\\", 4) != 0 || path[5] != L':') {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  const wchar_t volume[] = {L'\\', L'\\', L'.', L'\\', path[4], L':', 0};
  HANDLE opened = ::CreateFileW(volume, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return 0;
  // Whether a volume takes the flush is known only by trying it: a probe
  // flushes what is pending once.
  (void)probe_only;
  const BOOL flushed = ::FlushFileBuffers(opened);
  const DWORD code = ::GetLastError();
  ::CloseHandle(opened);
  ::SetLastError(code);
  return flushed;
}

BOOL Win32GenerateRandom(void* buffer, DWORD size) {
  const NTSTATUS status = ::BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), size,
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) {
    FailWithStatus(status);
    return 0;
  }
  return 1;
}

BOOL Win32IsOwnedByRunner(HANDLE object, BOOL* owned) {
  return win32::IsOwnedByRunner(object, owned);
}

BOOL Win32IsPrivateDirectory(HANDLE directory, BOOL* is_private) {
  return win32::IsPrivateDirectory(directory, is_private);
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

// Whether the path names the object open as `file` (no link followed).
bool PathNamesObject(const std::u16string& path, HANDLE file) {
  HANDLE named = ::CreateFileW(Wide(path.c_str()), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  ::BY_HANDLE_FILE_INFORMATION expected;
  ::BY_HANDLE_FILE_INFORMATION found;
  const bool same = ::GetFileInformationByHandle(file, &expected) &&
                    ::GetFileInformationByHandle(named, &found) &&
                    expected.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
                    expected.nFileIndexHigh == found.nFileIndexHigh &&
                    expected.nFileIndexLow == found.nFileIndexLow;
  ::CloseHandle(named);
  return same;
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
  constexpr DWORD kDosPath = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  std::u16string from;
  std::u16string to;
  if (!FinalPathOf(source, kDosPath, &from) || !FinalPathOf(directory, kDosPath, &to)) {
    return INVALID_HANDLE_VALUE;
  }
  if (to.back() != u'\\') to += u'\\';
  to += name;
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

BOOL Win32GetAllocatedRanges(HANDLE file, int64_t offset, int64_t length,
                             FILE_ALLOCATED_RANGE_BUFFER* ranges, DWORD count, DWORD* returned) {
  FILE_ALLOCATED_RANGE_BUFFER query = {offset, length};
  ::DWORD bytes = 0;
  const BOOL done = ::DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                                      ranges, count * sizeof *ranges, &bytes, nullptr);
  // ERROR_MORE_DATA still hands over the ranges that fit.
  *returned = bytes / sizeof *ranges;
  return done;
}

BOOL Win32SetSparse(HANDLE file) {
  ::DWORD unused = 0;
  return ::DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
}

BOOL Win32SetFilePointerEx(HANDLE file, int64_t offset, int64_t* position, DWORD method) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER reached;
  const BOOL done = ::SetFilePointerEx(file, distance, &reached, method);
  if (done && position != nullptr) *position = reached.QuadPart;
  return done;
}

BOOL Win32SetEndOfFile(HANDLE file) {
  return ::SetEndOfFile(file);
}

const Platform kWin32 = {
    Win32CreateFileW,
    Win32CreateDirectoryW,
    Win32ReadFile,
    Win32WriteFile,
    Win32GetFileInformationByHandle,
    Win32SetFileTime,
    Win32CompareFileTime,
    Win32CloseHandle,
    Win32GetLastError,
    Win32SetLastError,
    Win32FormatMessageW,
    Win32LocalFree,
    Win32GetModuleHandleA,
    Win32GetProcAddress,
    Win32VirtualAlloc,
    Win32GetSystemTimeAsFileTime,
    Win32GetCurrentProcess,
    Win32OpenProcessToken,
    Win32LookupPrivilegeValueA,
    Win32AdjustTokenPrivileges,
    Win32GetKernelObjectSecurity,
    Win32SetKernelObjectSecurity,
    Win32GetStdHandle,
    Win32GetFileType,
    Win32CreateFileAtW,
    Win32CreateDirectoryAtW,
    Win32SetConsoleCtrlHandler,
    Win32ExitProcess,
    nullptr,  // data goes through ReadFile and WriteFile
    Win32CreateTemporaryFileAtW,
    Win32MoveFileAtW,
    Win32DeleteFileAtW,
    Win32ApplyInheritedSecurity,
    Win32GetFileIdInfo,
    Win32GetFinalPathNameByHandleW,
    Win32CreateHardLinkAtW,
    Win32CopyAttributes,
    Win32ReadLinkTarget,
    Win32CreateLinkAtW,
    nullptr,  // no special files
    Win32GetStreamInformation,
    Win32CreateStreamW,
    Win32GetAllocatedRanges,
    Win32SetSparse,
    Win32SetFilePointerEx,
    Win32SetEndOfFile,
    Win32RemoveDirectoryAtW,
    Win32Sleep,
    Win32UpcaseName,
    Win32IsCaseSensitiveDirectory,
    Win32GetChangeTime,
    nullptr,  // SetFileTime carries every digit NTFS keeps
    Win32OpenParentDirectory,
    Win32GetDirectoryMark,
    Win32SetDirectoryMark,
    Win32FlushFileBuffers,
    Win32FlushVolume,
    Win32GenerateRandom,
    Win32IsOwnedByRunner,
    Win32IsPrivateDirectory,
    nullptr,  // no set-id bits
    Win32MayFollowLink,
    Win32CreateEncryptedCopyAtW,
    Win32GetVolumeFeatures,
    Win32GetTerminalColumns,
};

Platform g_current = kWin32;

}  // namespace

Platform& Os() {
  return g_current;
}
const Platform& NativePlatform() {
  return kWin32;
}

}  // namespace vx
