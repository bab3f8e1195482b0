// The Windows backend's table.
#include "internal.h"

namespace vx {

namespace {

using namespace win32;

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
    Win32ListDirectoryMarks,
    Win32LockDirectoryMark,
    Win32IsDirectoryMarkLocked,
    nullptr,  // owners live in security descriptors
    nullptr,  // the operator's paths are opened as named
    Win32SameAttributes,
    nullptr,  // FILETIME holds every digit NTFS keeps
    Win32GetLocalTimeOffset,
    nullptr,  // the codes are the system's own
    Win32GetUnknownReparseTag,
    Win32GetVolumeName,
    Win32VolumeRootLength,
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
