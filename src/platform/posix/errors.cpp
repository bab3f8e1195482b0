// errno, system error codes, NT statuses and the system's message texts.
//
// The Linux build speaks in Windows error codes so that the core's checks on
// codes (183 and others) work unchanged and a log reads the same on both
// systems.
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace vx::posix {
namespace {

struct ErrnoRow {
  int error;
  DWORD code;
};

// One row per errno the backend can meet.
constexpr ErrnoRow kErrnoTable[] = {
    {EPERM, 5},          {ENOENT, 2},     {EIO, 1117},      {ENXIO, 1},    {EBADF, 6},
    {ENOMEM, 8},         {EACCES, 5},     {EFAULT, 487},    {EBUSY, 170},  {EEXIST, 183},
    {EXDEV, 17},         {ENODEV, 15},    {ENOTDIR, 3},     {EISDIR, 5},   {EINVAL, 87},
    {ENFILE, 4},         {EMFILE, 4},     {ETXTBSY, 32},    {EFBIG, 223},  {ENOSPC, 112},
    {ESPIPE, 1},         {EROFS, 19},     {EMLINK, 1142},   {EPIPE, 109},  {ERANGE, 122},
    {ENAMETOOLONG, 206}, {ENOSYS, 50},    {ENOTEMPTY, 145}, {ELOOP, 1921}, {ENODATA, 1},
    {EOPNOTSUPP, 50},    {EDQUOT, 112},   {EOVERFLOW, 534}, {ENOTTY, 1},   {EINTR, 1223},
    {EAGAIN, 170},       {EUCLEAN, 1392}, {ESTALE, 6},
    // A network file system that is reconnecting.
    {ETIMEDOUT, 121},    {ECONNRESET, 64}, {ENOTCONN, 64},  {ECONNABORTED, 1236},
    {EHOSTDOWN, 1231},   {EHOSTUNREACH, 1231}, {ENETUNREACH, 1231},
};

struct StatusRow {
  uint32_t status;
  DWORD code;
};

// The NT statuses the directory listing can return, and their codes.
constexpr StatusRow kStatusTable[] = {
    {0x00000000, 0},  {0x80000005, 234},  {0x80000006, 18},  {0xC0000001, 31},  {0xC0000008, 6},
    {0xC000000D, 87}, {0xC0000017, 8},    {0xC0000022, 5},   {0xC0000023, 122}, {0xC0000034, 2},
    {0xC000003A, 3},  {0xC0000102, 1392}, {0xC0000103, 267}, {0xC000011F, 4},   {0xC0000185, 1117},
};
constexpr uint32_t kStatusUnsuccessful = 0xC0000001;
constexpr DWORD kMessageNotFound = 317;  // what Windows answers for an unknown status

struct MessageRow {
  DWORD code;
  const char* text;
};

// The system texts, as Windows words them.
constexpr MessageRow kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {15, "The system cannot find the drive specified."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {50, "The request is not supported."},
    {59, "An unexpected network error occurred."},
    {64, "The specified network name is no longer available."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {145, "The directory is not empty."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {223, "The file size exceeds the limit allowed and cannot be saved."},
    {234, "More data is available."},
    {267, "The directory name is invalid."},
    {487, "Attempt to access invalid address."},
    {534, "Arithmetic result exceeded 32 bits."},
    {1006, "The volume for a file has been externally altered so that the opened file is no longer valid."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1142, "An attempt was made to create more links on a file than the file system supports."},
    {1223, "The operation was canceled by the user."},
    {1231, "The network location cannot be reached. For information about network troubleshooting, see Windows Help."},
    {1236, "The network connection was aborted by the local system."},
    {1300, "Not all privileges or groups referenced are assigned to the caller."},
    {1313, "A specified privilege does not exist."},
    {1392, "The file or directory is corrupted and unreadable."},
    {1920, "The file cannot be accessed by the system."},
    {1921, "The name of the file cannot be resolved by the system."},
    {4350, "The file is currently not available for use on this computer."},
    {6014, "The disk partition does not support file encryption."},
};
constexpr const char* kUnknownMessage = "Unknown error.";

thread_local DWORD t_last_error = 0;
// What the system would call the error behind a code: the errno it came
// from, or why the backend refused without asking the system.
struct NativeError {
  DWORD code = 0;
  int error = 0;
  const char* why = nullptr;
};
thread_local NativeError t_native;

}  // namespace

DWORD Win32ErrorFromErrno(int error) {
  for (const ErrnoRow& row : kErrnoTable) {
    if (row.error == error) return row.code;
  }
  return 31;  // ERROR_GEN_FAILURE
}

void SetLastErrorFromErrno(int error, const std::string& path) {
  DWORD code = Win32ErrorFromErrno(error);
  if (error == ENOENT && !path.empty()) {
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      struct stat st;
      if (stat(path.substr(0, slash).c_str(), &st) != 0) code = ERROR_PATH_NOT_FOUND;
    }
  }
  t_last_error = code;
  t_native = NativeError{code, error, nullptr};
}

void SetLastErrorCode(DWORD code) {
  t_last_error = code;
  t_native = NativeError{code, 0, nullptr};
}

void SetLastErrorBecause(DWORD code, const char* why) {
  t_last_error = code;
  t_native = NativeError{code, 0, why};
}

DWORD DescribeNativeError(DWORD code, char16_t* text, DWORD size) {
  if (t_native.code != code || size == 0) return 0;
  std::string described_bytes;
  if (t_native.why != nullptr) {
    described_bytes = t_native.why;
  } else {
    const char* name = strerrorname_np(t_native.error);
    const char* description = strerrordesc_np(t_native.error);
    if (t_native.error == 0 || name == nullptr || description == nullptr) return 0;
    described_bytes = std::string(name) + ": " + description;
  }
  const std::u16string described = DecodeFileName(described_bytes);
  const DWORD units = static_cast<DWORD>(std::min<size_t>(described.size(), size - 1));
  std::copy_n(described.begin(), units, text);
  text[units] = u'\0';
  return units;
}
DWORD LastErrorCode() {
  return t_last_error;
}

NTSTATUS NtStatusFromErrno(int error) {
  DWORD code = Win32ErrorFromErrno(error);
  for (const StatusRow& row : kStatusTable) {
    if (row.code == code && row.status >= 0xC0000000) return static_cast<NTSTATUS>(row.status);
  }
  return static_cast<NTSTATUS>(kStatusUnsuccessful);
}

ULONG DosErrorFromNtStatus(NTSTATUS status) {
  for (const StatusRow& row : kStatusTable) {
    if (row.status == static_cast<uint32_t>(status)) return row.code;
  }
  return kMessageNotFound;
}

ULONG RtlNtStatusToDosError(NTSTATUS status) {
  return DosErrorFromNtStatus(status);
}

DWORD FormatMessageW(DWORD flags, const void*, DWORD message_id, DWORD, char16_t* buffer,
                     DWORD size, void*) {
  const char* text = kUnknownMessage;
  for (const MessageRow& row : kMessages) {
    if (row.code == message_id) text = row.text;
  }
  std::u16string message = DecodeFileName(text);
  message += u"\r\n";
  const size_t units = message.size() + 1;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto* out = static_cast<char16_t*>(std::malloc(units * sizeof(char16_t)));
    if (out == nullptr) {
      SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(out, message.c_str(), units * sizeof(char16_t));
    *reinterpret_cast<char16_t**>(buffer) = out;
  } else {
    if (size < units) {
      SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(buffer, message.c_str(), units * sizeof(char16_t));
  }
  return static_cast<DWORD>(message.size());
}

void* LocalFree(void* memory) {
  std::free(memory);
  return nullptr;
}

}  // namespace vx::posix
