// Wraps the platform table so a test can make the Nth call of a kind fail
// with a chosen error code or NT status, or misbehave (a short read, a short
// write, a privilege left unassigned), while every other call goes to the
// real backend on real files. It also keeps account of the handles opened
// and closed meanwhile. Workers call through it at once: its accounts are
// kept under one lock (a fault's `before` may call through it again).
#pragma once

#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vx::testing {

// CreateFileAtW, CreateTemporaryFileAtW and CreateDirectoryAtW count as
// kCreateFileW and kCreateDirectoryW, with the parent's path and the name
// joined as their path; MoveFileAtW and DeleteFileAtW take the same joined
// path of the name they act on (for a move, the new name). CopyFileTimes
// counts as kSetFileTime.
enum class Call {
  kCreateFileW,
  kCreateDirectoryW,
  kReadFile,
  kWriteFile,
  kGetFileInformationByHandle,
  kSetFileTime,
  kCloseHandle,
  kFormatMessageW,
  kGetModuleHandleA,
  kGetProcAddress,
  kVirtualAlloc,
  kOpenProcessToken,
  kLookupPrivilegeValueA,
  kAdjustTokenPrivileges,
  kGetKernelObjectSecurity,
  kSetKernelObjectSecurity,
  kNtQueryDirectoryFile,
  kSetConsoleCtrlHandler,
  kCopyFileRange,
  kMoveFileW,
  kDeleteFileW,
  kApplyInheritedSecurity,
  kGetFileIdInfo,
  kGetFinalPathNameByHandleW,
  kCreateHardLinkW,
  kMoveEntryW,
  kCopyAttributes,
  kReadLinkTarget,
  kCreateLinkW,     // CreateLinkAtW, with the joined path
  kCreateSpecialW,  // CreateSpecialAtW, with the joined path
  kGetStreamInformation,
  kCreateStreamW,  // with the file's path and the stream's name joined
  kGetAllocatedRanges,
  kSetSparse,
  kSetFilePointerEx,
  kSetEndOfFile,
  kRemoveDirectoryW,  // RemoveDirectoryAtW, with the joined path
  kSleep,             // never sleeps: the time asked for is added to Slept()
  kUpcaseName,
  kIsCaseSensitiveDirectory,
  kGetChangeTime,
  kOpenParentDirectory,
  kGetDirectoryMark,  // with the directory's path and the mark's name joined
  kSetDirectoryMark,  // likewise
  kFlushFileBuffers,
  kFlushVolume,
  kGenerateRandom,
  kIsOwnedByRunner,
  kIsPrivateDirectory,
  kClearSetIdBits,
  kMayFollowLink,  // with the link's path
  kCreateEncryptedCopyW,  // with the joined path of the new name
  kGetVolumeFeatures,
  kGetTerminalColumns,
  kListDirectoryMarks,     // with the directory's path
  kLockDirectoryMark,      // with the directory's path and the mark's name joined
  kIsDirectoryMarkLocked,  // likewise
  kSameOwnerAndMode,       // with the first object's path
  kCreateFileTrustedW,     // with the path
  kSameAttributes,         // with the source's path
  kSameWriteTime,          // with the first object's path
  kGetLocalTimeOffset,
  kDescribeNativeError,
  kGetUnknownReparseTag,  // with the object's path
  kGetVolumeName,         // with the object's path
  kVolumeRootLength,      // with the path
  kGetStdHandle,
  kGetFileType,
  kCount,
};

struct Fault {
  enum class Kind {
    kFail,            // the call fails, leaving `error` as last error (or returning `status`)
    kShortRead,       // ReadFile moves at most `bytes`
    kShortWrite,      // WriteFile writes at most `bytes` and says so
    kNotAllAssigned,  // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED
    kBefore,          // `before` runs, then the call goes through as usual
  };
  Call call;
  int nth = 1;          // counted among the calls that match `path`
  std::u16string path;  // empty: any call; else the call's path must contain it
  DWORD error = 0;
  NTSTATUS status = 0;
  Kind kind = Kind::kFail;
  DWORD bytes = 0;
  std::function<void()> before = {};
};

class FaultInjector {
 public:
  FaultInjector();
  ~FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  void Add(const Fault& fault);
  // Data goes through ReadFile and WriteFile only, as on a platform without
  // a kernel copy: for tests of that loop.
  void BufferOnly() { Os().CopyFileRange = nullptr; }
  // Every object is given the file index `index` (0 on FAT, exFAT and some
  // SMB servers), as a volume without file identities answers; its 128-bit
  // identifier, where the platform has one, is left as it is unless
  // `id_too`, when it is `index` as well.
  void FileIndexForAll(uint64_t index, bool id_too = false) {
    same_index_ = true;
    same_id_ = id_too;
    index_ = index;
  }
  bool SameIndex(uint64_t* index) const {
    *index = index_;
    return same_index_;
  }
  bool SameId(uint64_t* index) const {
    *index = index_;
    return same_id_;
  }
  // Links where the platform cannot show them (Windows links under Wine):
  // the plain file or directory whose path ends with `path` is listed and
  // described as a reparse point and reads as a link to `data`, or as a
  // reparse point that is no link where `data` is empty. CreateLinkAtW then
  // makes an empty file or directory and notes what it was asked to make.
  struct StandInLink {
    std::u16string path;
    std::vector<unsigned char> data;
  };
  struct MadeLink {
    std::u16string path;  // the name it was made under
    std::vector<unsigned char> data;
    DWORD attributes;
  };
  void StandInLinks(std::vector<StandInLink> links) { stand_in_links_ = std::move(links); }
  const StandInLink* StandInFor(const std::u16string& path) const;
  std::vector<MadeLink>& MadeLinks() { return made_links_; }
  // Named streams where the platform cannot show them (Wine, Linux): the
  // object whose path ends with `path` lists the stream `name` besides its
  // own data, read from the file `data_file`. A stream made on any object is
  // a new file in the directory `storage`, noted in MadeStreams.
  struct StandInStream {
    std::u16string path;
    std::u16string name;
    std::u16string data_file;
  };
  struct MadeStream {
    std::u16string owner;  // the path of the object it was made on
    std::u16string name;
    std::u16string data_file;
  };
  void StandInStreams(std::vector<StandInStream> streams, std::u16string storage);
  const std::vector<StandInStream>& StandInStreamList() const { return stand_in_streams_; }
  const std::u16string& StreamStorage() const { return stream_storage_; }
  std::vector<MadeStream>& MadeStreams() { return made_streams_; }
  // Sparse files where the platform cannot show them (Wine): the file whose
  // path ends with `path` is described as sparse, holding data in `ranges`
  // only; making a file sparse succeeds and is counted.
  struct StandInSparse {
    std::u16string path;
    std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges;
  };
  void StandInSparseFiles(std::vector<StandInSparse> files) { stand_in_sparse_ = std::move(files); }
  bool StandsInSparseFiles() const { return !stand_in_sparse_.empty(); }
  const StandInSparse* SparseStandInFor(const std::u16string& path) const;
  int SparseMade() const { return sparse_made_; }
  void MadeSparse() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ++sparse_made_;
  }
  uint64_t Slept() const { return slept_; }
  void Sleeping(DWORD milliseconds) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    slept_ += milliseconds;
  }
  // Volumes where the platform cannot show them: the object at `path` and
  // every object below it are on the volume `serial` (a mount point),
  // whose lasting name (GetVolumeName) is `name`, where not empty.
  struct StandInVolume {
    std::u16string path;
    DWORD serial;
    std::u16string name = {};
  };
  void StandInVolumes(std::vector<StandInVolume> volumes);
  const StandInVolume* VolumeStandInFor(const std::u16string& path) const;
  // A snapshot of a volume (a shadow copy) where the platform has none: the
  // object at or below `snapshot` answers with the serial number, file
  // index and identifier of the object at its place below `live`, and final
  // paths name devices: "\Device\Snapshot1\..." for those objects,
  // "\Device\Volume1\..." for every other.
  void StandInSnapshot(std::u16string snapshot, std::u16string live);
  // The path below `live` of an object at or below the snapshot; empty
  // for any other object.
  std::u16string LiveCounterpartOf(const std::u16string& opened_as) const;
  bool SnapshotStandsIn() const { return !snapshot_.empty(); }
  // Directory marks where the platform cannot keep them (Wine has no named
  // streams): kept here, by the directory's path and the mark's name.
  void StandInMarks();
  bool MarksStandIn() const { return marks_stand_in_; }
  std::map<std::u16string, std::string>& Marks() { return marks_; }
  // How many marks of this name (or this name, a dot and an id) the
  // stand-in holds, on any directory.
  size_t MarksNamed(std::u16string_view name);
  // With stand-in marks, their locks too: by the same key, each held by a
  // handle of the run's (released when it is closed) or, as another live
  // run's, by the test.
  std::multiset<std::u16string>& MarkLocks() { return mark_locks_; }
  std::map<HANDLE, std::u16string>& MarkLockHandles() { return mark_lock_handles_; }
  // A directory marked case-sensitive on a volume that ignores case: every
  // directory whose path contains `path` says so.
  void CaseSensitiveBelow(std::u16string path) { case_sensitive_below_ = std::move(path); }
  const std::u16string& CaseSensitivePath() const { return case_sensitive_below_; }
  // A destination that ignores case where the platform's file systems do
  // not (a vfat, CIFS or case-folding volume on Linux): below a directory
  // whose path contains `path`, a name not found opens the entry whose name
  // differs only in ASCII case, and making a directory at such a name finds
  // it taken.
  void CaseInsensitiveBelow(std::u16string path) { case_insensitive_below_ = std::move(path); }
  const std::u16string& CaseInsensitivePath() const { return case_insensitive_below_; }

  // Owners and private directories where the platform cannot show them
  // (Wine runs as one user and keeps no access lists): objects whose path
  // contains `own` are the runner's, those whose path contains `foreign`
  // someone else's (a link so named may not be followed); directories whose
  // path contains `private_below` are in the run's private state.
  void StandInOwners(std::u16string own, std::u16string foreign) {
    runner_owned_ = std::move(own);
    foreign_owned_ = std::move(foreign);
  }
  const std::u16string& RunnerOwned() const { return runner_owned_; }
  const std::u16string& ForeignOwned() const { return foreign_owned_; }
  void StandInPrivateDirectories(std::u16string private_below) {
    private_below_ = std::move(private_below);
  }
  const std::u16string& PrivateBelow() const { return private_below_; }

  // Encrypted files where the platform cannot show them (Wine keeps no
  // encryption; Linux has none): objects whose path contains `path` are
  // described as encrypted, and their raw copy holds their bytes each
  // inverted, a stand-in ciphertext that no plain read gives.
  void StandInEncryption(std::u16string path);

  // Attributes where the platform cannot show them (cloud placeholders,
  // offline files): the entry whose path ends with `path` is listed and
  // described with `attributes` besides its own.
  struct StandInAttribute {
    std::u16string path;
    DWORD attributes;
  };
  // Reparse tags where the platform cannot show them: the object whose path
  // ends with `path` is a reparse point of the unknown tag `tag`
  // (GetUnknownReparseTag); every other object is none.
  struct StandInTag {
    std::u16string path;
    ULONG tag;
  };
  void StandInUnknownReparseTags(std::vector<StandInTag> tags);
  const std::vector<StandInTag>& UnknownReparseTags() const { return stand_in_tags_; }
  void StandInAttributes(std::vector<StandInAttribute> list) {
    stand_in_attributes_ = std::move(list);
  }
  DWORD ExtraAttributesFor(const std::u16string& path) const {
    for (const StandInAttribute& entry : stand_in_attributes_) {
      if (path.size() >= entry.path.size() &&
          path.compare(path.size() - entry.path.size(), entry.path.size(), entry.path) == 0) {
        return entry.attributes;
      }
    }
    return 0;
  }

  // Every volume keeps just `features` (FILE_SUPPORTS_* flags), as a FAT
  // USB disk or a NAS share answers; asked through the wrapper.
  void StandInVolumeFeatures(DWORD features);
  bool VolumeFeaturesStandIn(DWORD* features) const {
    *features = volume_features_;
    return volume_features_stand_in_;
  }
  const std::u16string& EncryptedPath() const { return encrypted_path_; }

  // A privilege the system does not know (Wine has no symbolic-link
  // privilege) is looked up as one every token holds.
  void StandInForUnknownPrivileges() { stand_in_privileges_ = true; }
  bool StandsInForUnknownPrivileges() const { return stand_in_privileges_; }

  // Calls of a kind seen so far, faulted or not.
  int Calls(Call call) const;
  // Handles obtained through the table since the injector was installed and
  // not yet closed, with the paths they were opened with.
  std::vector<std::u16string> OpenHandles() const;

  // Every access right asked for by the opens and creates so far.
  DWORD AccessAsked() const { return access_asked_; }
  void Asked(DWORD access) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    access_asked_ |= access;
  }

  // The path of the call a fault was last injected into (empty: none yet).
  const std::u16string& HitPath() const { return hit_path_; }
  // ExitProcess is never passed on: the codes it was called with.
  const std::vector<UINT>& Exits() const { return exits_; }

  // Internal to the wrappers.
  const Fault* Hit(Call call, const std::u16string& path);
  std::u16string PathOf(HANDLE handle) const;
  void Opened(HANDLE handle, const std::u16string& path) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    handles_[handle] = path;
  }
  void Closed(HANDLE handle) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    handles_.erase(handle);
  }
  void Exited(UINT code) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    exits_.push_back(code);
  }
  // For the wrappers' own accounts (made links and streams).
  std::unique_lock<std::recursive_mutex> Lock() {
    return std::unique_lock<std::recursive_mutex>(mutex_);
  }
  const Platform& real() const { return real_; }
  NtQueryDirectoryFileFn real_query = nullptr;

 private:
  struct Rule {
    Fault fault;
    int seen = 0;
  };
  Platform real_;
  mutable std::recursive_mutex mutex_;
  std::vector<Rule> rules_;
  std::vector<StandInTag> stand_in_tags_;
  int calls_[static_cast<int>(Call::kCount)] = {};
  std::map<HANDLE, std::u16string> handles_;
  std::vector<UINT> exits_;
  std::u16string hit_path_;
  bool same_index_ = false;
  bool same_id_ = false;
  uint64_t index_ = 0;
  DWORD access_asked_ = 0;
  std::vector<StandInLink> stand_in_links_;
  std::vector<MadeLink> made_links_;
  bool stand_in_privileges_ = false;
  std::vector<StandInStream> stand_in_streams_;
  std::u16string stream_storage_;
  std::vector<MadeStream> made_streams_;
  std::vector<StandInSparse> stand_in_sparse_;
  int sparse_made_ = 0;
  uint64_t slept_ = 0;
  std::vector<StandInVolume> stand_in_volumes_;
  std::u16string snapshot_;
  std::u16string snapshot_live_;
  std::map<std::u16string, std::string> marks_;
  bool marks_stand_in_ = false;
  std::multiset<std::u16string> mark_locks_;
  std::map<HANDLE, std::u16string> mark_lock_handles_;
  std::u16string case_insensitive_below_;
  std::u16string case_sensitive_below_;
  std::u16string runner_owned_;
  std::u16string foreign_owned_;
  std::u16string private_below_;
  std::u16string encrypted_path_;
  std::vector<StandInAttribute> stand_in_attributes_;
  bool volume_features_stand_in_ = false;
  DWORD volume_features_ = 0;
};

}  // namespace vx::testing
