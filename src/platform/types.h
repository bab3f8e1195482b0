// The Windows types, constants and records the platform table speaks in,
// the same on both builds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {

using BOOL = int32_t;
using BOOLEAN = uint8_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using NTSTATUS = int32_t;
using HANDLE = void*;
using HMODULE = void*;
using FARPROC = void (*)();

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(intptr_t{-1});

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// A FILETIME counts 100-ns ticks since 1 January 1601, UTC.
constexpr int64_t kFileTimeTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;  // 1 January 1970

inline uint64_t FileTimeTicks(const FILETIME& time) {
  return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

inline FILETIME FileTimeFromTicks(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};

// A file's size as its information gives it.
inline uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
}

// A file's 128-bit identifier on its volume (FILE_ID_INFO), where the
// 64-bit index of BY_HANDLE_FILE_INFORMATION is not unique (ReFS).
struct FILE_ID_INFO {
  uint64_t VolumeSerialNumber;
  unsigned char FileId[16];
};

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    void* Pointer;
  };
  uintptr_t Information;
};

// The published records of a directory listing; the name follows the
// header and is not terminated.
struct FILE_NAMES_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  ULONG FileNameLength;  // bytes, not units
  char16_t FileName[1];
};

struct FILE_DIRECTORY_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  int64_t CreationTime;
  int64_t LastAccessTime;
  int64_t LastWriteTime;
  int64_t ChangeTime;
  int64_t EndOfFile;
  int64_t AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;  // bytes, not units
  char16_t FileName[1];
};

// One data stream of a file or directory (FILE_STREAM_INFO); the name,
// ":name:$DATA" or "::$DATA" for the file's own data, follows the header
// and is not terminated.
struct FILE_STREAM_INFO {
  ULONG NextEntryOffset;
  ULONG StreamNameLength;  // bytes, not units
  int64_t StreamSize;
  int64_t StreamAllocationSize;
  char16_t StreamName[1];
};

// A range of a sparse file that holds data (FILE_ALLOCATED_RANGE_BUFFER).
struct FILE_ALLOCATED_RANGE_BUFFER {
  int64_t FileOffset;
  int64_t Length;
};

using NtQueryDirectoryFileFn = NTSTATUS (*)(HANDLE file, HANDLE event, void* apc_routine,
                                            void* apc_context, IO_STATUS_BLOCK* io_status,
                                            void* buffer, ULONG length, int information_class,
                                            BOOLEAN return_single_entry, void* file_name,
                                            BOOLEAN restart_scan);
using RtlNtStatusToDosErrorFn = ULONG (*)(NTSTATUS status);

// Access rights, share modes, dispositions and flags.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD ACCESS_SYSTEM_SECURITY = 0x01000000;
constexpr DWORD WRITE_OWNER = 0x00080000;
constexpr DWORD WRITE_DAC = 0x00040000;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD FILE_LIST_DIRECTORY = 0x0001;
// Writes go to the end of the file, whatever else writes it (a log kept
// across runs).
constexpr DWORD FILE_APPEND_DATA = 0x0004;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD FILE_SHARE_DELETE = 4;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
// Windows reserves it; the Linux listing marks FIFOs, sockets and devices
// with it.
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_SPARSE_FILE = 0x200;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_ATTRIBUTE_OFFLINE = 0x1000;
constexpr DWORD FILE_ATTRIBUTE_ENCRYPTED = 0x4000;
constexpr DWORD FILE_ATTRIBUTE_RECALL_ON_OPEN = 0x40000;
constexpr DWORD FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS = 0x400000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
// Velmox's own flag (NtCreateFile's FILE_DIRECTORY_FILE): only a directory
// is opened; any other object at the name fails with ERROR_DIRECTORY. The
// backends take it out before the system sees the flags.
constexpr DWORD FILE_FLAG_DIRECTORY_ONLY = 0x00004000;
// Velmox's own flag: a link or special file at the name is opened as the
// node itself (never followed, never opened for I/O), for its status, times,
// security and link target; any other object opens as without it (Windows:
// FILE_OPEN_REPARSE_POINT; Linux: O_PATH | O_NOFOLLOW). No data moves
// through a node's handle.
constexpr DWORD FILE_FLAG_OPEN_NODE = 0x00008000;
constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x20;
constexpr DWORD TOKEN_QUERY = 0x8;
constexpr DWORD SE_PRIVILEGE_ENABLED = 2;
constexpr DWORD OWNER_SECURITY_INFORMATION = 1;
constexpr DWORD GROUP_SECURITY_INFORMATION = 2;
constexpr DWORD DACL_SECURITY_INFORMATION = 4;
constexpr DWORD SACL_SECURITY_INFORMATION = 8;
// The parts of a descriptor kept in its SACL besides auditing: the
// integrity label, resource attributes and central access policy scope.
constexpr DWORD LABEL_SECURITY_INFORMATION = 0x10;
constexpr DWORD ATTRIBUTE_SECURITY_INFORMATION = 0x20;
constexpr DWORD SCOPE_SECURITY_INFORMATION = 0x40;
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;
constexpr DWORD FILE_TYPE_CHAR = 2;
constexpr DWORD FILE_TYPE_PIPE = 3;
constexpr DWORD FILE_SUPPORTS_SPARSE_FILES = 0x40;
constexpr DWORD FILE_SUPPORTS_ENCRYPTION = 0x20000;
constexpr DWORD FILE_NAMED_STREAMS = 0x40000;
constexpr int FileDirectoryInformation = 1;
constexpr int FileNamesInformation = 12;
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;

// System error codes the core and the backends name.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_CANCELLED = 1223;
// A source that is not the object it was found as, or that changed while
// it was copied.
constexpr DWORD ERROR_FILE_INVALID = 1006;
constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
// A link followed where its owner could not have read what it leads to.
constexpr DWORD ERROR_CANT_ACCESS_FILE = 1920;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
// An entry whose data is not on this computer (a cloud placeholder, an
// offline file), not read without /Recall.
constexpr DWORD ERROR_FILE_OFFLINE = 4350;
constexpr DWORD ERROR_NOT_A_REPARSE_POINT = 4390;
constexpr DWORD ERROR_VOLUME_NOT_SUPPORT_EFS = 6014;
// The largest link target (MAXIMUM_REPARSE_DATA_BUFFER_SIZE).
constexpr DWORD kMaxLinkTargetBytes = 16384;

// NT statuses.
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_NO_MORE_FILES = static_cast<NTSTATUS>(0x80000006);
// What FAT and exFAT answer for the first listing of an empty directory,
// which holds no "." or "..".
constexpr NTSTATUS STATUS_NO_SUCH_FILE = static_cast<NTSTATUS>(0xC000000F);

}  // namespace vx
