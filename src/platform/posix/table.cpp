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
    posix::CreateFileW,
    posix::CreateDirectoryW,
    posix::ReadFile,
    posix::WriteFile,
    posix::GetFileInformationByHandle,
    posix::SetFileTime,
    posix::CompareFileTime,
    posix::CloseHandle,
    posix::LastErrorCode,
    posix::SetLastErrorCode,
    posix::FormatMessageW,
    posix::LocalFree,
    posix::GetModuleHandleA,
    posix::GetProcAddress,
    posix::VirtualAlloc,
    posix::GetSystemTimeAsFileTime,
    posix::GetCurrentProcess,
    posix::OpenProcessToken,
    posix::LookupPrivilegeValueA,
    posix::AdjustTokenPrivileges,
    posix::GetKernelObjectSecurity,
    posix::SetKernelObjectSecurity,
    posix::GetStdHandle,
    posix::GetFileType,
    posix::CreateFileAtW,
    posix::CreateDirectoryAtW,
    posix::SetConsoleCtrlHandler,
    posix::ExitProcess,
    posix::CopyFileRange,
    posix::CreateTemporaryFileAtW,
    posix::MoveFileAtW,
    posix::DeleteFileAtW,
    posix::ApplyInheritedSecurity,
    nullptr,  // the inode is the identity
    nullptr,  // and is always known
    posix::CreateHardLinkAtW,
    posix::CopyAttributes,
    posix::ReadLinkTarget,
    posix::CreateLinkAtW,
    posix::CreateSpecialAtW,
    nullptr,  // a file has its own data only
    nullptr,
    nullptr,  // holes are kept by CopyFileRange
    nullptr,
    nullptr,
    nullptr,
    posix::RemoveDirectoryAtW,
    posix::Sleep,
    nullptr,  // names compare byte for byte
    nullptr,
    posix::GetChangeTime,
    posix::CopyFileTimes,
    posix::OpenParentDirectory,
    posix::GetDirectoryMark,
    posix::SetDirectoryMark,
    posix::FlushFileBuffers,
    posix::FlushVolume,
    posix::GenerateRandom,
    posix::IsOwnedByRunner,
    posix::IsPrivateDirectory,
    posix::ClearSetIdBits,
    posix::MayFollowLink,
    nullptr,  // no file is encrypted
    nullptr,  // every volume keeps what the entries offer
    posix::GetTerminalColumns,
    posix::ListDirectoryMarks,
    posix::LockDirectoryMark,
    posix::IsDirectoryMarkLocked,
    posix::SameOwnerAndMode,
    posix::CreateFileTrustedW,
    posix::SameAttributes,
    posix::SameWriteTime,
    posix::GetLocalTimeOffset,
    posix::DescribeNativeError,
    nullptr,  // no reparse points
    nullptr,  // volumes are known by their device number
    posix::VolumeRootLength,
};

Platform g_current = kPosix;

}  // namespace

Platform& Os() {
  return g_current;
}
const Platform& NativePlatform() {
  return kPosix;
}

}  // namespace vx
