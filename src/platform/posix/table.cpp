// The POSIX backend's table.
#include "internal.h"

namespace vx {
namespace posix {
HANDLE CreateFileW(const char16_t*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE);
BOOL CreateDirectoryW(const char16_t*, void*);
BOOL ReadFile(HANDLE, void*, DWORD, DWORD*, void*);
BOOL WriteFile(HANDLE, const void*, DWORD, DWORD*, void*);
BOOL GetFileInformationByHandle(HANDLE, BY_HANDLE_FILE_INFORMATION*);
BOOL SetFileTime(HANDLE, const FILETIME*, const FILETIME*, const FILETIME*);
LONG CompareFileTime(const FILETIME*, const FILETIME*);
BOOL CloseHandle(HANDLE);
void* VirtualAlloc(void*, size_t, DWORD, DWORD);
void GetSystemTimeAsFileTime(FILETIME*);
HANDLE GetStdHandle(DWORD);
DWORD GetFileType(HANDLE);
BOOL GetTerminalColumns(HANDLE, DWORD*);
BOOL ListDirectoryMarks(HANDLE, char16_t*, DWORD, DWORD*);
HANDLE LockDirectoryMark(HANDLE, const char16_t*);
BOOL IsDirectoryMarkLocked(HANDLE, const char16_t*, BOOL*);
BOOL SameOwnerAndMode(HANDLE, HANDLE, BOOL*);
HANDLE CreateFileTrustedW(const char16_t*, DWORD, DWORD, DWORD, DWORD);
BOOL SameAttributes(HANDLE, HANDLE, BOOL*);
BOOL SameWriteTime(HANDLE, HANDLE, BOOL*);
BOOL GetLocalTimeOffset(const FILETIME*, LONG*);
DWORD DescribeNativeError(DWORD, char16_t*, DWORD);
HANDLE CreateFileAtW(HANDLE, const char16_t*, DWORD, DWORD, DWORD, DWORD);
HANDLE CreateDirectoryAtW(HANDLE, const char16_t*, DWORD);
BOOL SetConsoleCtrlHandler(BOOL (*)(DWORD), BOOL);
void ExitProcess(UINT);
HANDLE CreateTemporaryFileAtW(HANDLE, const char16_t*, DWORD);
BOOL MoveFileAtW(HANDLE, HANDLE, const char16_t*, const char16_t*, BOOL);
BOOL DeleteFileAtW(HANDLE, const char16_t*);
BOOL GetChangeTime(HANDLE, FILETIME*);
BOOL CopyFileTimes(HANDLE, HANDLE);
void SetLooksAtOnce(DWORD);
HANDLE OpenParentDirectory(HANDLE, DWORD);
BOOL GetDirectoryMark(HANDLE, const char16_t*, void*, DWORD, DWORD*);
BOOL SetDirectoryMark(HANDLE, const char16_t*, const void*, DWORD);
BOOL FlushFileBuffers(HANDLE);
BOOL FlushVolume(HANDLE, BOOL);
BOOL GenerateRandom(void*, DWORD);
BOOL IsOwnedByRunner(HANDLE, BOOL*);
BOOL IsPrivateDirectory(HANDLE, BOOL*);
BOOL ClearSetIdBits(HANDLE);
BOOL MayFollowLink(HANDLE, const char16_t*, HANDLE, BOOL*);
DWORD VolumeRootLength(const char16_t*);
}  // namespace posix

namespace {

const Platform kPosix = {
    .CreateFileW = posix::CreateFileW,
    .CreateDirectoryW = posix::CreateDirectoryW,
    .ReadFile = posix::ReadFile,
    .WriteFile = posix::WriteFile,
    .GetFileInformationByHandle = posix::GetFileInformationByHandle,
    .SetFileTime = posix::SetFileTime,
    .CompareFileTime = posix::CompareFileTime,
    .CloseHandle = posix::CloseHandle,
    .GetLastError = posix::LastErrorCode,
    .SetLastError = posix::SetLastErrorCode,
    .FormatMessageW = posix::FormatMessageW,
    .LocalFree = posix::LocalFree,
    .GetModuleHandleA = posix::GetModuleHandleA,
    .GetProcAddress = posix::GetProcAddress,
    .VirtualAlloc = posix::VirtualAlloc,
    .GetSystemTimeAsFileTime = posix::GetSystemTimeAsFileTime,
    .GetCurrentProcess = posix::GetCurrentProcess,
    .OpenProcessToken = posix::OpenProcessToken,
    .LookupPrivilegeValueA = posix::LookupPrivilegeValueA,
    .AdjustTokenPrivileges = posix::AdjustTokenPrivileges,
    .GetKernelObjectSecurity = posix::GetKernelObjectSecurity,
    .SetKernelObjectSecurity = posix::SetKernelObjectSecurity,
    .GetStdHandle = posix::GetStdHandle,
    .GetFileType = posix::GetFileType,
    .CreateFileAtW = posix::CreateFileAtW,
    .CreateDirectoryAtW = posix::CreateDirectoryAtW,
    .SetConsoleCtrlHandler = posix::SetConsoleCtrlHandler,
    .ExitProcess = posix::ExitProcess,
    .CopyFileRange = posix::CopyFileRange,
    .CreateTemporaryFileAtW = posix::CreateTemporaryFileAtW,
    .MoveFileAtW = posix::MoveFileAtW,
    .DeleteFileAtW = posix::DeleteFileAtW,
    .ApplyInheritedSecurity = posix::ApplyInheritedSecurity,
    // No GetFileIdInfo: the inode is the identity
    // No GetFinalPathNameByHandleW: every identity is known
    .CreateHardLinkAtW = posix::CreateHardLinkAtW,
    .CopyAttributes = posix::CopyAttributes,
    .ReadLinkTarget = posix::ReadLinkTarget,
    .CreateLinkAtW = posix::CreateLinkAtW,
    .CreateSpecialAtW = posix::CreateSpecialAtW,
    // No GetStreamInformation: a file has its own data only
    // No CreateStreamW
    // No GetAllocatedRanges: holes are kept by CopyFileRange
    // No SetSparse
    // No SetFilePointerEx
    // No SetEndOfFile
    .RemoveDirectoryAtW = posix::RemoveDirectoryAtW,
    .MoveEntryAtW = posix::MoveEntryAtW,
    .Sleep = posix::Sleep,
    // No UpcaseName: names compare byte for byte
    // No IsCaseSensitiveDirectory
    .GetChangeTime = posix::GetChangeTime,
    .CopyFileTimes = posix::CopyFileTimes,
    .OpenParentDirectory = posix::OpenParentDirectory,
    .GetDirectoryMark = posix::GetDirectoryMark,
    .SetDirectoryMark = posix::SetDirectoryMark,
    .FlushFileBuffers = posix::FlushFileBuffers,
    .FlushVolume = posix::FlushVolume,
    .GenerateRandom = posix::GenerateRandom,
    .IsOwnedByRunner = posix::IsOwnedByRunner,
    .IsPrivateDirectory = posix::IsPrivateDirectory,
    .ClearSetIdBits = posix::ClearSetIdBits,
    .MayFollowLink = posix::MayFollowLink,
    // No CreateEncryptedCopyAtW: no file is encrypted
    // No GetVolumeFeatures: every volume keeps what the entries offer
    .GetTerminalColumns = posix::GetTerminalColumns,
    .ListDirectoryMarks = posix::ListDirectoryMarks,
    .LockDirectoryMark = posix::LockDirectoryMark,
    .IsDirectoryMarkLocked = posix::IsDirectoryMarkLocked,
    .SameOwnerAndMode = posix::SameOwnerAndMode,
    .CreateFileTrustedW = posix::CreateFileTrustedW,
    .SameAttributes = posix::SameAttributes,
    .SameWriteTime = posix::SameWriteTime,
    .GetLocalTimeOffset = posix::GetLocalTimeOffset,
    .DescribeNativeError = posix::DescribeNativeError,
    // No GetUnknownReparseTag: no reparse points
    // No GetVolumeName: volumes are known by their device number
    .VolumeRootLength = posix::VolumeRootLength,
    .SetLooksAtOnce = posix::SetLooksAtOnce,
};

}  // namespace

Platform g_platform_in_force = kPosix;
const Platform& NativePlatform() {
  return kPosix;
}

}  // namespace vx
