#include "copy_directory.h"

#include <cstring>
#include <memory>
#include <new>

#include "../report/report.h"
#include "../run/run_state.h"
#include "access.h"
#include "copy_file.h"

namespace vx {

namespace {

constexpr ULONG kListingBufferBytes = 4096;
constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);

// What one level of the walk keeps while its subtree is copied. It lives on
// the heap, so the depth of a tree is bounded by memory and handles, not by
// the stack.
struct Level {
  BY_HANDLE_FILE_INFORMATION info;
  alignas(8) unsigned char descriptor[kSecurityBufferBytes];
  DWORD length_needed;
  std::u16string destination_directory;
  std::u16string entry_name;
  std::u16string entry_path;
  std::u16string destination_file;
  IO_STATUS_BLOCK io_status;
};

struct ListingBuffer {
  alignas(8) unsigned char bytes[kListingBufferBytes];
};

bool IsDotOrDotDot(const std::u16string& name) {
  return name == u"." || name == u"..";
}

// Closes what the level holds, the later-obtained first.
int Release(HANDLE destination, HANDLE source) {
  if (destination != INVALID_HANDLE_VALUE) Os().CloseHandle(destination);
  Os().CloseHandle(source);
  return 0;
}

}  // namespace

int CopyOneDirectory(const std::u16string& source_directory) {
  AnnounceDirectory(source_directory);

  std::unique_ptr<Level> level(new (std::nothrow) Level());
  if (!level) {
    ReportWin32Error(source_directory, u"CreateFile(SOURCE)", ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  HANDLE source = OpenSource(source_directory.c_str());
  if (source == INVALID_HANDLE_VALUE) {
    ReportWin32Error(source_directory, u"CreateFile(SOURCE)", Os().GetLastError());
    return 0;
  }
  if (!Os().GetFileInformationByHandle(source, &level->info)) {
    ReportWin32Error(source_directory, u"CopyOneDirectory:GetFileInformationByHandle(SOURCE-DIR)",
                     Os().GetLastError());
    return Release(INVALID_HANDLE_VALUE, source);
  }
  if (Settings.SecurityDescriptor) {
    std::memset(level->descriptor, 0, sizeof level->descriptor);
    level->length_needed = 0;
    if (!Os().GetKernelObjectSecurity(source, kAllSecurityInformation, level->descriptor,
                                      kSecurityBufferBytes, &level->length_needed)) {
      ReportWin32Error(source_directory, u"GetKernelObjectSecurity(SOURCE-DIR)",
                       Os().GetLastError());
      return Release(INVALID_HANDLE_VALUE, source);
    }
  }

  std::u16string& destination_directory = level->destination_directory;
  destination_directory = Settings.Destination;
  destination_directory.append(source_directory, State.SourceRootLength);

  // The destination root is created only on request; every directory below
  // it always is, and an existing one is accepted only with /Overwrite or
  // /OnlyNewer.
  if (!State.AtTopLevel || Settings.CreateDestinationDirectory) {
    if (!Os().CreateDirectoryW(destination_directory.c_str(), nullptr)) {
      const DWORD code = Os().GetLastError();
      if (code != ERROR_ALREADY_EXISTS || !(Settings.Overwrite || Settings.OnlyNewer)) {
        ReportWin32Error(destination_directory, u"CreateDirectory(DESTINATION-DIR)", code);
        return Release(INVALID_HANDLE_VALUE, source);
      }
    }
  }
  HANDLE destination = OpenDestination(destination_directory.c_str(), OPEN_EXISTING);
  if (destination == INVALID_HANDLE_VALUE) {
    ReportWin32Error(source_directory, u"CreateFile(DESTINATION-DIR)", Os().GetLastError());
    return Release(INVALID_HANDLE_VALUE, source);
  }
  if (Settings.SecurityDescriptor &&
      !Os().SetKernelObjectSecurity(destination, kAllSecurityInformation, level->descriptor)) {
    ReportWin32Error(destination_directory, u"SetKernelObjectSecurity(DESTINATION-DIR)",
                     Os().GetLastError());
    return Release(destination, source);
  }

  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  if (!listing) {
    ReportNtStatus(source_directory, u"NtQueryDirectoryFile()", kStatusNoMemory);
    return Release(destination, source);
  }
  const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(listing->bytes);
  for (BOOLEAN restart_scan = 1;; restart_scan = 0) {
    const NTSTATUS status = State.NtQueryDirectoryFile(
        source, nullptr, nullptr, nullptr, &level->io_status, listing->bytes, kListingBufferBytes,
        FileDirectoryInformation, 1, nullptr, restart_scan);
    if (status == STATUS_NO_MORE_FILES) break;
    if (status < 0) {
      ReportNtStatus(source_directory, u"NtQueryDirectoryFile()", status);
      return Release(destination, source);
    }
    level->entry_name.assign(record->FileName, record->FileNameLength / sizeof(char16_t));
    level->entry_path = source_directory + kPathSeparator + level->entry_name;

    int result;
    if (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (IsDotOrDotDot(level->entry_name) || !Settings.SubDirectories) continue;
      State.AtTopLevel = 0;
      result = CopyOneDirectory(level->entry_path);
    } else {
      AnnounceFile(level->entry_path, static_cast<uint64_t>(record->EndOfFile));
      level->destination_file = destination_directory + kPathSeparator + level->entry_name;
      result = CopyOneFile(level->entry_path, level->destination_file);
    }
    if (result == 0 && Settings.StopAtFirstError) return Release(destination, source);
  }
  listing.reset();

  if (!Os().SetFileTime(destination, &level->info.ftCreationTime, &level->info.ftLastAccessTime,
                        &level->info.ftLastWriteTime)) {
    ReportWin32Error(destination_directory, u"CopyOneDirectory:SetFileTime(DESTINATION-DIR)",
                     Os().GetLastError());
    return Release(destination, source);
  }
  Os().CloseHandle(destination);
  Os().CloseHandle(source);
  return 1;
}

}  // namespace vx
