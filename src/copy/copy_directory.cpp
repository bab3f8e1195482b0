#include "copy_directory.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "../report/report.h"
#include "../run/run_state.h"
#include "../run/stop.h"
#include "access.h"
#include "copy_file.h"
#include "identity.h"
#include "place.h"
#include "temporary_name.h"
#include "written.h"

namespace vx {

namespace {

constexpr ULONG kListingBufferBytes = 4096;
constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);

// What the whole walk knows: the identities of the source directories from
// the root down to the one being copied (a directory met again on that path
// is a loop), and the destination root's (a source directory that is the
// destination root is the run's own output, not input).
struct Walk {
  std::vector<FileIdentity> path;
  FileIdentity destination_root;
};

// What one level of the walk keeps while its subtree is copied. It lives on
// the heap, so the depth of a tree is bounded by memory and handles, not by
// the stack.
struct Level {
  BY_HANDLE_FILE_INFORMATION info;
  alignas(8) unsigned char descriptor[kSecurityBufferBytes];
  DWORD length_needed;
  std::u16string entry_name;
  std::u16string entry_source;
  std::u16string entry_destination;
  IO_STATUS_BLOCK io_status;
  WrittenObjects written;
};

struct ListingBuffer {
  alignas(8) unsigned char bytes[kListingBufferBytes];
};

bool IsDotOrDotDot(const std::u16string& name) {
  return name == u"." || name == u"..";
}

bool OnWalkPath(const Walk& walk, const FileIdentity& identity) {
  for (const FileIdentity& ancestor : walk.path) {
    if (SameObject(ancestor, identity)) return true;
  }
  return false;
}

bool IsListingEnd(NTSTATUS status, BOOLEAN first_call) {
  // An empty directory on FAT or exFAT holds no "." or "..": its first
  // listing finds no file at all.
  return status == STATUS_NO_MORE_FILES || (first_call && status == STATUS_NO_SUCH_FILE);
}

// Removes what a killed earlier run left in the destination directory: files
// under the temporary names the run writes to, unless the source directory
// has an entry of that very name. Names only are listed, with no look at
// each entry; a failed listing leaves the leftovers for the next run.
void RemoveLeftovers(const Place& source, HANDLE source_handle, HANDLE destination_handle,
                     const std::u16string& destination_path) {
  struct NamesBuffer {
    alignas(8) unsigned char bytes[kListingBufferBytes];
  };
  std::unique_ptr<NamesBuffer> listing(new (std::nothrow) NamesBuffer);
  if (!listing) return;
  const auto* record = reinterpret_cast<const FILE_NAMES_INFORMATION*>(listing->bytes);
  std::vector<std::u16string> leftovers;
  for (BOOLEAN restart_scan = 1;; restart_scan = 0) {
    IO_STATUS_BLOCK io_status;
    const NTSTATUS status = State.NtQueryDirectoryFile(
        destination_handle, nullptr, nullptr, nullptr, &io_status, listing->bytes,
        kListingBufferBytes, FileNamesInformation, 1, nullptr, restart_scan);
    if (status < 0) break;
    std::u16string_view name(record->FileName, record->FileNameLength / sizeof(char16_t));
    if (IsTemporaryName(name)) leftovers.emplace_back(name);
  }
  std::u16string path;
  for (const std::u16string& name : leftovers) {
    JoinPath(source.path, name, &path);
    HANDLE namesake = OpenSource(EntryPlace(source_handle, path, name.size()));
    if (namesake != INVALID_HANDLE_VALUE) {
      Os().CloseHandle(namesake);
      continue;
    }
    if (!Os().DeleteFileAtW(destination_handle, name.c_str())) {
      const DWORD code = Os().GetLastError();
      JoinPath(destination_path, name, &path);
      ReportWin32Error(path, u"CopyOneDirectory:DeleteFile(DESTINATION)", code);
    }
  }
}

// Closes what the level holds, the later-obtained first.
int Release(HANDLE destination, HANDLE source) {
  if (destination != INVALID_HANDLE_VALUE) Os().CloseHandle(destination);
  Os().CloseHandle(source);
  return 0;
}

// Keeps the directory's identity on the walk path while its subtree is
// copied.
class OnPath {
 public:
  OnPath(Walk& walk, const FileIdentity& identity) : walk_(walk) { walk_.path.push_back(identity); }
  ~OnPath() { walk_.path.pop_back(); }
  OnPath(const OnPath&) = delete;
  OnPath& operator=(const OnPath&) = delete;

 private:
  Walk& walk_;
};

int CopyDirectory(Walk& walk, const Place& source, const Place& destination) {
  std::unique_ptr<Level> level(new (std::nothrow) Level());
  if (!level) {
    AnnounceDirectory(source.path);
    ReportWin32Error(source.path, u"CreateFile(SOURCE)", ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  // The directory is opened and known before it is announced: the
  // destination root met in the source is passed over without a word.
  HANDLE source_handle = OpenSource(source);
  if (source_handle == INVALID_HANDLE_VALUE) {
    const DWORD code = Os().GetLastError();
    AnnounceDirectory(source.path);
    ReportWin32Error(source.path, u"CreateFile(SOURCE)", code);
    return 0;
  }
  if (!Os().GetFileInformationByHandle(source_handle, &level->info)) {
    const DWORD code = Os().GetLastError();
    AnnounceDirectory(source.path);
    ReportWin32Error(source.path, u"CopyOneDirectory:GetFileInformationByHandle(SOURCE-DIR)", code);
    return Release(INVALID_HANDLE_VALUE, source_handle);
  }
  const FileIdentity identity = IdentityOf(level->info);
  if (SameObject(identity, walk.destination_root)) {
    Os().CloseHandle(source_handle);
    return 1;
  }
  // A link back to a directory on the way down would be walked for ever.
  if (OnWalkPath(walk, identity)) {
    ReportWin32Error(source.path, u"CopyOneDirectory:AncestorCheck(SOURCE-DIR)",
                     ERROR_CANT_RESOLVE_FILENAME);
    return Release(INVALID_HANDLE_VALUE, source_handle);
  }
  OnPath on_path(walk, identity);
  AnnounceDirectory(source.path);

  if (Settings.SecurityDescriptor) {
    std::memset(level->descriptor, 0, sizeof level->descriptor);
    level->length_needed = 0;
    if (!Os().GetKernelObjectSecurity(source_handle, kAllSecurityInformation, level->descriptor,
                                      kSecurityBufferBytes, &level->length_needed)) {
      ReportWin32Error(source.path, u"GetKernelObjectSecurity(SOURCE-DIR)", Os().GetLastError());
      return Release(INVALID_HANDLE_VALUE, source_handle);
    }
  }

  // The destination root is created only on request; every directory below
  // it always is, and an existing one is accepted only with /Overwrite or
  // /OnlyNewer.
  bool created = false;
  if (!State.AtTopLevel || Settings.CreateDestinationDirectory) {
    created = CreateDestinationDirectory(destination) != 0;
    if (!created) {
      const DWORD code = Os().GetLastError();
      // In a directory the run has just made, only the run took the name.
      if (code == ERROR_ALREADY_EXISTS && destination.parent_is_new) {
        ReportWin32Error(source.path, u"CopyOneDirectory:NameCollision(DESTINATION-DIR)", code);
        return Release(INVALID_HANDLE_VALUE, source_handle);
      }
      if (code != ERROR_ALREADY_EXISTS || !(Settings.Overwrite || Settings.OnlyNewer)) {
        ReportWin32Error(destination.path, u"CreateDirectory(DESTINATION-DIR)", code);
        return Release(INVALID_HANDLE_VALUE, source_handle);
      }
    }
  }
  // A directory only: a file at the name is never given a directory's
  // security or times.
  HANDLE destination_handle = OpenDestinationDirectory(destination);
  if (destination_handle == INVALID_HANDLE_VALUE) {
    ReportWin32Error(source.path, u"CreateFile(DESTINATION-DIR)", Os().GetLastError());
    return Release(INVALID_HANDLE_VALUE, source_handle);
  }
  if (destination.parent == nullptr || (!created && destination.written != nullptr)) {
    BY_HANDLE_FILE_INFORMATION destination_info;
    if (!Os().GetFileInformationByHandle(destination_handle, &destination_info)) {
      ReportWin32Error(destination.path,
                       u"CopyOneDirectory:GetFileInformationByHandle(DESTINATION-DIR)",
                       Os().GetLastError());
      return Release(destination_handle, source_handle);
    }
    const FileIdentity destination_identity = IdentityOf(destination_info);
    if (destination.parent == nullptr) walk.destination_root = destination_identity;
    if (destination.written != nullptr) {
      if (destination.written->Contains(destination_identity)) {
        ReportWin32Error(source.path, u"CopyOneDirectory:NameCollision(DESTINATION-DIR)",
                         ERROR_ALREADY_EXISTS);
        return Release(destination_handle, source_handle);
      }
      destination.written->Add(destination_identity);
    }
  }
  // A directory the run created stays its own while it is filled; its
  // final security comes with its times. One that existed gets the source's
  // security at once.
  if (!created && Settings.SecurityDescriptor &&
      !Os().SetKernelObjectSecurity(destination_handle, kAllSecurityInformation,
                                    level->descriptor)) {
    ReportWin32Error(destination.path, u"SetKernelObjectSecurity(DESTINATION-DIR)",
                     Os().GetLastError());
    return Release(destination_handle, source_handle);
  }
  // Whatever ends the walk of a created directory, it is given its final
  // security; an unfinished one gets no times.
  auto secure_created = [&] {
    if (!created) return true;
    const BOOL secured =
        Settings.SecurityDescriptor
            ? Os().SetKernelObjectSecurity(destination_handle, kAllSecurityInformation,
                                           level->descriptor)
            : Os().ApplyInheritedSecurity == nullptr ||
                  Os().ApplyInheritedSecurity(destination_handle, destination.parent);
    if (!secured) {
      ReportWin32Error(destination.path, u"SetKernelObjectSecurity(DESTINATION-DIR)",
                       Os().GetLastError());
    }
    return secured != 0;
  };
  auto unfinished = [&] {
    secure_created();
    return Release(destination_handle, source_handle);
  };

  std::unique_ptr<ListingBuffer> listing(new (std::nothrow) ListingBuffer);
  if (!listing) {
    ReportNtStatus(source.path, u"NtQueryDirectoryFile()", kStatusNoMemory);
    return unfinished();
  }
  const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(listing->bytes);
  for (BOOLEAN restart_scan = 1;; restart_scan = 0) {
    if (NoticeStop(source.path, u"CopyOneDirectory:Interrupted(SOURCE-DIR)")) return unfinished();
    const NTSTATUS status = State.NtQueryDirectoryFile(
        source_handle, nullptr, nullptr, nullptr, &level->io_status, listing->bytes,
        kListingBufferBytes, FileDirectoryInformation, 1, nullptr, restart_scan);
    if (IsListingEnd(status, restart_scan)) break;
    if (status < 0) {
      ReportNtStatus(source.path, u"NtQueryDirectoryFile()", status);
      return unfinished();
    }
    std::u16string& name = level->entry_name;
    name.assign(record->FileName, record->FileNameLength / sizeof(char16_t));
    const bool is_directory = (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (is_directory && (IsDotOrDotDot(name) || !Settings.SubDirectories)) continue;
    JoinPath(source.path, name, &level->entry_source);
    JoinPath(destination.path, name, &level->entry_destination);
    const Place entry_source = EntryPlace(source_handle, level->entry_source, name.size());
    const Place entry_destination = EntryPlace(destination_handle, level->entry_destination,
                                               name.size(), created, &level->written);

    int result;
    if (is_directory) {
      State.AtTopLevel = 0;
      result = CopyDirectory(walk, entry_source, entry_destination);
    } else {
      AnnounceFile(level->entry_source, static_cast<uint64_t>(record->EndOfFile));
      result = CopyOneFile(entry_source, entry_destination);
    }
    if (result == 0 && (Settings.StopAtFirstError || StopRequested())) return unfinished();
  }
  listing.reset();
  if (!created) RemoveLeftovers(source, source_handle, destination_handle, destination.path);
  if (!secure_created()) return Release(destination_handle, source_handle);

  if (!Os().SetFileTime(destination_handle, &level->info.ftCreationTime,
                        &level->info.ftLastAccessTime, &level->info.ftLastWriteTime)) {
    ReportWin32Error(destination.path, u"CopyOneDirectory:SetFileTime(DESTINATION-DIR)",
                     Os().GetLastError());
    return Release(destination_handle, source_handle);
  }
  Os().CloseHandle(destination_handle);
  Os().CloseHandle(source_handle);
  return 1;
}

}  // namespace

int CopyOneDirectory(const std::u16string& source_root) {
  Walk walk;
  const std::u16string destination_root(Settings.Destination);
  return CopyDirectory(walk, RootPlace(source_root), RootPlace(destination_root));
}

}  // namespace vx
