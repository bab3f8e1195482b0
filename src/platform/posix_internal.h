// Shared pieces of the POSIX backend; nothing outside src/platform includes
// this.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace vx::posix {

// What a HANDLE points to in this backend.
struct Handle {
  enum class Kind { kFile, kToken, kProcess };
  Kind kind = Kind::kFile;
  int fd = -1;
  bool owns_fd = true;
  // Listing state of a directory handle: a getdents64 buffer handed out one
  // record per NtQueryDirectoryFile call.
  std::vector<char> entries;
  size_t entry_pos = 0;
  size_t entry_end = 0;
};

Handle* FromHandle(HANDLE handle);

// File names: UTF-16 in the core, bytes for the kernel. Bytes that are not
// UTF-8 travel as lone surrogates U+DC80 + byte, so every name round-trips.
std::u16string DecodeFileName(std::string_view bytes);
std::string EncodeFileName(std::u16string_view text);

// The system error code of the same meaning as an errno value.
DWORD Win32ErrorFromErrno(int error);
// Sets the last error from errno; ENOENT becomes ERROR_PATH_NOT_FOUND when
// the directory holding `path` is missing too, as on Windows.
void SetLastErrorFromErrno(int error, const std::string& path = {});
void SetLastErrorCode(DWORD code);
DWORD LastErrorCode();

NTSTATUS NtStatusFromErrno(int error);
ULONG DosErrorFromNtStatus(NTSTATUS status);

// FILETIME is 100 ns since 1601; timespec counts from 1970.
FILETIME FileTimeFromTimespec(const struct timespec& time);
struct timespec TimespecFromFileTime(const FILETIME& time);

// Creation time: birth time where the file system records it, else the
// change time.
FILETIME CreationTimeOf(int fd, const struct stat& st);

// Entries of the table that live in their own files.
NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE event, void* apc_routine, void* apc_context,
                              IO_STATUS_BLOCK* io_status, void* buffer, ULONG length,
                              int information_class, BOOLEAN return_single_entry, void* file_name,
                              BOOLEAN restart_scan);
ULONG RtlNtStatusToDosError(NTSTATUS status);
DWORD FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     char16_t* buffer, DWORD size, void* arguments);
void* LocalFree(void* memory);
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD desired_access, HANDLE* token);
BOOL LookupPrivilegeValueA(const char* system_name, const char* name, LUID* luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                           DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                           DWORD* return_length);
HMODULE GetModuleHandleA(const char* module_name);
FARPROC GetProcAddress(HMODULE module, const char* proc_name);
BOOL GetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor, DWORD length,
                             DWORD* length_needed);
BOOL SetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor);

}  // namespace vx::posix
