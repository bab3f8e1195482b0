// The entries that pass straight to the system's own call.
#include "internal.h"

namespace vx::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide calls take UTF-16 as it is");
static_assert(sizeof(FILETIME) == sizeof(::FILETIME));
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == sizeof(::BY_HANDLE_FILE_INFORMATION));
static_assert(sizeof(TOKEN_PRIVILEGES) == sizeof(::TOKEN_PRIVILEGES));
static_assert(sizeof(LUID) == sizeof(::LUID));

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

// The local time of that moment by the time zone's rules for its year,
// less the moment itself.
BOOL Win32GetLocalTimeOffset(const FILETIME* utc, LONG* minutes) {
  ::SYSTEMTIME universal;
  ::SYSTEMTIME local;
  ::FILETIME local_time;
  if (!::FileTimeToSystemTime(reinterpret_cast<const ::FILETIME*>(utc), &universal) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local) ||
      !::SystemTimeToFileTime(&local, &local_time)) {
    return 0;
  }
  auto ticks = [](const ::FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
  };
  const int64_t difference = ticks(local_time) - ticks(*reinterpret_cast<const ::FILETIME*>(utc));
  *minutes = static_cast<LONG>(difference / 600000000LL);
  return 1;
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

BOOL Win32GenerateRandom(void* buffer, DWORD size) {
  const NTSTATUS status = ::BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), size,
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) {
    FailWithStatus(status);
    return 0;
  }
  return 1;
}

}  // namespace vx::win32
