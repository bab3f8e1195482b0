// The Windows backend's table.
#include "internal.h"

namespace vx {

namespace {

using namespace win32;

const Platform kWin32 = {
    .CreateFileW = Win32CreateFileW,
    .CreateDirectoryW = Win32CreateDirectoryW,
    .ReadFile = Win32ReadFile,
    .WriteFile = Win32WriteFile,
    .GetFileInformationByHandle = Win32GetFileInformationByHandle,
    .SetFileTime = Win32SetFileTime,
    .CompareFileTime = Win32CompareFileTime,
    .CloseHandle = Win32CloseHandle,
    .GetLastError = Win32GetLastError,
    .SetLastError = Win32SetLastError,
    .FormatMessageW = Win32FormatMessageW,
    .LocalFree = Win32LocalFree,
    .GetModuleHandleA = Win32GetModuleHandleA,
    .GetProcAddress = Win32GetProcAddress,
    .VirtualAlloc = Win32VirtualAlloc,
    .GetSystemTimeAsFileTime = Win32GetSystemTimeAsFileTime,
    .GetCurrentProcess = Win32GetCurrentProcess,
    .OpenProcessToken = Win32OpenProcessToken,
    .LookupPrivilegeValueA = Win32LookupPrivilegeValueA,
    .AdjustTokenPrivileges = Win32AdjustTokenPrivileges,
    .GetKernelObjectSecurity = Win32GetKernelObjectSecurity,
    .SetKernelObjectSecurity = Win32SetKernelObjectSecurity,
    .GetStdHandle = Win32GetStdHandle,
    .GetFileType = Win32GetFileType,
    .CreateFileAtW = Win32CreateFileAtW,
    .CreateDirectoryAtW = Win32CreateDirectoryAtW,
    .SetConsoleCtrlHandler = Win32SetConsoleCtrlHandler,
    .ExitProcess = Win32ExitProcess,
    // No CopyFileRange: data goes through ReadFile and WriteFile
    .CreateTemporaryFileAtW = Win32CreateTemporaryFileAtW,
    .MoveFileAtW = Win32MoveFileAtW,
    .DeleteFileAtW = Win32DeleteFileAtW,
    .ApplyInheritedSecurity = Win32ApplyInheritedSecurity,
    .GetFileIdInfo = Win32GetFileIdInfo,
    .GetFinalPathNameByHandleW = Win32GetFinalPathNameByHandleW,
    .CreateHardLinkAtW = Win32CreateHardLinkAtW,
    .CopyAttributes = Win32CopyAttributes,
    .ReadLinkTarget = Win32ReadLinkTarget,
    .CreateLinkAtW = Win32CreateLinkAtW,
    // No CreateSpecialAtW: no special files
    .GetStreamInformation = Win32GetStreamInformation,
    .CreateStreamW = Win32CreateStreamW,
    .GetAllocatedRanges = Win32GetAllocatedRanges,
    .SetSparse = Win32SetSparse,
    .SetFilePointerEx = Win32SetFilePointerEx,
    .SetEndOfFile = Win32SetEndOfFile,
    .RemoveDirectoryAtW = Win32RemoveDirectoryAtW,
    .MoveEntryAtW = Win32MoveEntryAtW,
    .Sleep = Win32Sleep,
    .UpcaseName = Win32UpcaseName,
    .IsCaseSensitiveDirectory = Win32IsCaseSensitiveDirectory,
    .GetChangeTime = Win32GetChangeTime,
    // No CopyFileTimes: SetFileTime carries every digit NTFS keeps
    .OpenParentDirectory = Win32OpenParentDirectory,
    .GetDirectoryMark = Win32GetDirectoryMark,
    .SetDirectoryMark = Win32SetDirectoryMark,
    .FlushFileBuffers = Win32FlushFileBuffers,
    .FlushVolume = Win32FlushVolume,
    .GenerateRandom = Win32GenerateRandom,
    .IsOwnedByRunner = Win32IsOwnedByRunner,
    .IsPrivateDirectory = Win32IsPrivateDirectory,
    // No ClearSetIdBits: no set-id bits
    .MayFollowLink = Win32MayFollowLink,
    .CreateEncryptedCopyAtW = Win32CreateEncryptedCopyAtW,
    .GetVolumeFeatures = Win32GetVolumeFeatures,
    .GetTerminalColumns = Win32GetTerminalColumns,
    .ListDirectoryMarks = Win32ListDirectoryMarks,
    .LockDirectoryMark = Win32LockDirectoryMark,
    .IsDirectoryMarkLocked = Win32IsDirectoryMarkLocked,
    // No SameOwnerAndMode: owners live in security descriptors
    // No CreateFileTrustedW: the operator's paths are opened as named
    .SameAttributes = Win32SameAttributes,
    // No SameWriteTime: FILETIME holds every digit NTFS keeps
    .GetLocalTimeOffset = Win32GetLocalTimeOffset,
    // No DescribeNativeError: the codes are the system's own
    .GetUnknownReparseTag = Win32GetUnknownReparseTag,
    .GetVolumeName = Win32GetVolumeName,
    .VolumeRootLength = Win32VolumeRootLength,
    // No SetLooksAtOnce: a listing brings sizes and times with the names
};

}  // namespace

Platform g_platform_in_force = kWin32;
const Platform& NativePlatform() {
  return kWin32;
}

}  // namespace vx
