// What the files of the Windows backend share: the system's headers, in the
// order the backend needs them, the table's entries and the helpers more
// than one file uses. Nothing outside src/platform/win32 includes it.
//
// platform.h comes first: its constants carry the names that <windows.h>
// then defines as macros, which the backend never uses.
#pragma once

#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "../platform.h"
#include "encrypted.h"
#include "replace_rules.h"
#include "security.h"
// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <winioctl.h>
#include <winternl.h>
// clang-format on

namespace vx::win32 {

inline const wchar_t* Wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
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

// The table's entries, by the file that holds them.
HANDLE Win32CreateFileW(const char16_t* name, DWORD access, DWORD share, void* security,
                        DWORD disposition, DWORD flags, HANDLE template_file);
BOOL Win32CreateDirectoryW(const char16_t* name, void* security);
BOOL Win32ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read, void* overlapped);
BOOL Win32WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                    void* overlapped);
BOOL Win32GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
BOOL Win32SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access,
                      const FILETIME* write);
LONG Win32CompareFileTime(const FILETIME* first, const FILETIME* second);
BOOL Win32CloseHandle(HANDLE object);
DWORD Win32GetLastError();
void Win32SetLastError(DWORD code);
DWORD Win32FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                          char16_t* buffer, DWORD size, void* arguments);
void* Win32LocalFree(void* memory);
HMODULE Win32GetModuleHandleA(const char* module_name);
FARPROC Win32GetProcAddress(HMODULE module, const char* proc_name);
void* Win32VirtualAlloc(void* address, size_t size, DWORD allocation_type, DWORD protect);
void Win32GetSystemTimeAsFileTime(FILETIME* now);
HANDLE Win32GetCurrentProcess();
BOOL Win32OpenProcessToken(HANDLE process, DWORD desired_access, HANDLE* token);
BOOL Win32LookupPrivilegeValueA(const char* system_name, const char* name, LUID* luid);
BOOL Win32AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                                DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                                DWORD* return_length);
BOOL Win32GetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor, DWORD length,
                                  DWORD* length_needed);
BOOL Win32SetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor);
HANDLE Win32GetStdHandle(DWORD which);
DWORD Win32GetFileType(HANDLE file);
BOOL Win32GetTerminalColumns(HANDLE console, DWORD* columns);
BOOL Win32ListDirectoryMarks(HANDLE directory, char16_t* names, DWORD size, DWORD* returned);
HANDLE Win32LockDirectoryMark(HANDLE directory, const char16_t* name);
BOOL Win32IsDirectoryMarkLocked(HANDLE directory, const char16_t* name, BOOL* locked);
BOOL Win32SameAttributes(HANDLE source, HANDLE destination, BOOL* same);
BOOL Win32GetLocalTimeOffset(const FILETIME* utc, LONG* minutes);
BOOL Win32GetUnknownReparseTag(HANDLE file, ULONG* tag);
DWORD Win32GetVolumeName(HANDLE file, char16_t* name, DWORD units);
DWORD Win32VolumeRootLength(const char16_t* path);
void Win32Sleep(DWORD milliseconds);
BOOL Win32SetConsoleCtrlHandler(BOOL (*handler)(DWORD event), BOOL add);
void Win32ExitProcess(UINT exit_code);
BOOL Win32GenerateRandom(void* buffer, DWORD size);
HANDLE Win32CreateFileAtW(HANDLE directory, const char16_t* name, DWORD access, DWORD share,
                          DWORD disposition, DWORD flags);
HANDLE Win32CreateDirectoryAtW(HANDLE directory, const char16_t* name, DWORD access);
HANDLE Win32CreateTemporaryFileAtW(HANDLE directory, const char16_t* name, DWORD access);
HANDLE Win32OpenParentDirectory(HANDLE directory, DWORD access);
BOOL Win32MayFollowLink(HANDLE directory, const char16_t* name, HANDLE target, BOOL* may);
BOOL Win32MoveFileAtW(HANDLE file, HANDLE directory, const char16_t*, const char16_t* new_name,
                      BOOL replace);
BOOL Win32DeleteFileAtW(HANDLE directory, const char16_t* name);
BOOL Win32RemoveDirectoryAtW(HANDLE directory, const char16_t* name);
BOOL Win32MoveEntryAtW(HANDLE object, HANDLE directory, const char16_t* name, HANDLE to_directory,
                       const char16_t* new_name);
BOOL Win32CreateHardLinkAtW(HANDLE file, HANDLE directory, const char16_t* name);
BOOL Win32ApplyInheritedSecurity(HANDLE object, HANDLE directory, HANDLE);
BOOL Win32IsOwnedByRunner(HANDLE object, BOOL* owned);
BOOL Win32IsPrivateDirectory(HANDLE directory, BOOL* is_private);
BOOL Win32ReadLinkTarget(HANDLE link, void* target, DWORD size, DWORD* returned);
HANDLE Win32CreateLinkAtW(HANDLE directory, const char16_t* name, const void* target, DWORD size,
                          DWORD attributes, DWORD access);
BOOL Win32GetStreamInformation(HANDLE file, void* records, DWORD size);
HANDLE Win32CreateStreamW(HANDLE file, const char16_t* stream, DWORD access, DWORD disposition);
HANDLE Win32CreateEncryptedCopyAtW(HANDLE source, HANDLE directory, const char16_t* name,
                                   DWORD access);
BOOL Win32GetFileIdInfo(HANDLE file, FILE_ID_INFO* info);
DWORD Win32GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD units);
BOOL Win32CopyAttributes(HANDLE source, HANDLE destination);
BOOL Win32UpcaseName(char16_t* name, DWORD units);
BOOL Win32IsCaseSensitiveDirectory(HANDLE directory, BOOL* sensitive);
BOOL Win32GetChangeTime(HANDLE file, FILETIME* change);
BOOL Win32GetVolumeFeatures(HANDLE object, DWORD* features);
BOOL Win32GetDirectoryMark(HANDLE directory, const char16_t* name, void* value, DWORD size,
                           DWORD* returned);
BOOL Win32SetDirectoryMark(HANDLE directory, const char16_t* name, const void* value, DWORD size);
BOOL Win32FlushFileBuffers(HANDLE file);
BOOL Win32FlushVolume(HANDLE object, BOOL probe_only);
BOOL Win32GetAllocatedRanges(HANDLE file, int64_t offset, int64_t length,
                             FILE_ALLOCATED_RANGE_BUFFER* ranges, DWORD count, DWORD* returned);
BOOL Win32SetSparse(HANDLE file);
BOOL Win32SetFilePointerEx(HANDLE file, int64_t offset, int64_t* position, DWORD method);
BOOL Win32SetEndOfFile(HANDLE file);

// Helpers more than one file uses.

constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);

// The open's answer for an NT status: the matching system error code.
HANDLE FailWithStatus(NTSTATUS status);
// A reparse point whose tag is a name surrogate leads elsewhere.
bool IsNameSurrogate(HANDLE file);
// Whether two open handles reach one object (volume and file index).
bool SameOpenFile(HANDLE one, HANDLE other);
// Whether an open object is a reparse point; then its kind by its tag (one
// that cannot be read counts as a link's) and whether it is a directory.
bool ReparseClassOf(HANDLE file, ReparseClass* kind, bool* directory);
// NtCreateFile of `below`, synchronous, with the right to read attributes;
// `*outcome` is what the open did (FILE_CREATED, FILE_OPENED).
NTSTATUS OpenBelow(const NameBelow& below, DWORD access, DWORD share, ULONG disposition,
                   ULONG options, HANDLE* file, ULONG_PTR* outcome);
// The security directories start with; empty where they are not made
// private (a system that computes no inherited access list afterwards).
const std::vector<unsigned char>& PrivateDirectorySecurity();
// The path of an open object as the system resolved it, in the form
// `flags` asks for (GetFinalPathNameByHandleW).
bool FinalPathOf(HANDLE object, DWORD flags, std::u16string* path);
bool OpenablePathOf(HANDLE object, std::u16string* path);
// Sets the attributes alone, the times left as they are.
bool SetAttributesOnly(HANDLE file, DWORD attributes);

}  // namespace vx::win32
