// Shared pieces of the POSIX backend; nothing outside src/platform includes
// this.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sys/single_threaded.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "../platform.h"
#include "../utf8.h"

namespace vx::posix {

// A directory the run creates is its own until its subtree is done: mode
// 0700 (a default ACL of the parent is masked by it too), owned by the run;
// ApplyInheritedSecurity or the source's security opens it at the end.
constexpr mode_t kPrivateDirectoryMode = 0700;

// An object's status, taken once: statx with the birth time. `sx` is read
// only where `valid`, and is left unwritten until then: a status made for
// every entry and handle of a walk costs no clearing. It is copied as one
// statx, which the compiler moves in wide registers rather than a string
// instruction whose start-up costs more than the copy.
struct Status {
  bool valid = false;
  struct statx sx;
  Status() = default;
  Status(const Status& other) : valid(other.valid), sx(other.sx) {}
  Status& operator=(const Status& other) {
    valid = other.valid;
    sx = other.sx;
    return *this;
  }
};

// One listed entry and what a look found: its own status, or where it is
// a link, its target's (the link's own where the target is missing).
struct EntryLook {
  const char* name = nullptr;
  unsigned char type = 0;  // d_type from the listing
  size_t offset = 0;       // where the record lies in the listing buffer
  Status status;
  bool is_link = false;
  bool have_status = false;
};

// Owner, group and mode of a file just created by CreateTemporaryFileAtW in
// some directory, when it also carried no extended attributes. Files this process
// creates in one directory, with one mode and umask, start out alike: the
// owner is the process's, the group the process's or a set-group-ID
// directory's, the mode and any ACL come from the umask or the directory's
// default ACL, and a security module labels all of them or none.
struct NewFileLook {
  bool known = false;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t mode = 0;  // the permission bits
};

// A lock on `guard` taken only where another thread could want it: while
// the process has only the one thread (a run with one copier), it has none
// to wait for, and each listed entry and open no longer pays for one.
class LockUnlessAlone {
 public:
  explicit LockUnlessAlone(std::mutex& guard) : guard_(__libc_single_threaded ? nullptr : &guard) {
    if (guard_ != nullptr) guard_->lock();
  }
  ~LockUnlessAlone() {
    if (guard_ != nullptr) guard_->unlock();
  }
  LockUnlessAlone(const LockUnlessAlone&) = delete;
  LockUnlessAlone& operator=(const LockUnlessAlone&) = delete;

 private:
  std::mutex* guard_;
};

// What a HANDLE points to in this backend. A file's handle is used by one
// thread at a time; a directory's is shared by the walk, which lists it,
// and the workers, which open, create and remove entries in it. What they
// share (its status, the entries listed last, what files created there
// look like) is kept under `guard`; what is learned once is atomic.
struct Handle {
  std::mutex guard;
  enum class Kind { kFile, kToken, kProcess };
  Kind kind = Kind::kFile;
  // A regular file's handle, which only one thread uses at a time: its
  // status is read without `guard`.
  bool one_user = false;
  // Such a handle opened for reading only: the run writes nothing through
  // it, so its attribute names are listed once (see ListedAttributeNames).
  bool reads_only = false;
  bool attribute_names_known = false;
  std::vector<std::string> attribute_names;
  // Such a handle whose open made the file: it carries no user.* attribute
  // yet (none is inherited), so none is listed to be removed.
  bool made = false;
  int fd = -1;
  bool owns_fd = true;
  // A link or special file opened as the node itself (O_PATH): its status,
  // times, owner and attributes are reached through the descriptor's entry
  // in /proc where the f* calls refuse such a descriptor.
  bool node = false;
  // The status the handle was opened with (from the listing that found the
  // object, or taken when first asked for), so that one object costs one
  // stat.
  Status status;
  // An open deferred until the descriptor is first needed: the object
  // DeferredName() in the directory `deferred_directory`, with these flags.
  // A skipped file is thus decided on without ever being opened. The parent
  // directory's handle stays open meanwhile: the walk closes every handle
  // before the directory it was opened in.
  bool deferred = false;
  int deferred_directory = -1;  // or AT_FDCWD
  Handle* deferred_parent = nullptr;  // the handle of deferred_directory, if any
  int deferred_flags = 0;
  // An entry's name fits in place, so a skipped file allocates nothing; a
  // whole path (an open at AT_FDCWD) may not, and is kept apart.
  char deferred_short_name[NAME_MAX + 1];
  std::string deferred_long_name;
  void SetDeferredName(const std::string& name) {
    if (name.size() <= NAME_MAX) {
      std::memcpy(deferred_short_name, name.c_str(), name.size() + 1);
      deferred_long_name.clear();
    } else {
      deferred_long_name = name;
    }
  }
  const char* DeferredName() const {
    return deferred_long_name.empty() ? deferred_short_name : deferred_long_name.c_str();
  }
  // Why a deferred open failed: it is not tried again, so every later use
  // of the handle fails alike.
  DWORD open_error = 0;
  // Listing state of a directory handle: a getdents64 buffer handed out one
  // record per NtQueryDirectoryFile call, and the status of the entries
  // handed out last, for the opens that follow them: the walk's own right
  // after, a worker's a few entries later.
  std::unique_ptr<char[]> entries;
  size_t entries_size = 0;
  bool listing_started = false;
  size_t entry_pos = 0;
  size_t entry_end = 0;
  struct ListedEntry {
    std::string name;
    Status status;  // the link's target's, where the entry is a link
    bool link = false;
  };
  // At most ListedKept(), the oldest replaced first (at listed_next, once
  // full); how many were ever listed.
  std::vector<ListedEntry> listed;
  size_t listed_next = 0;
  // Where looks at its entries are slow (entry_looks.h): the looks of the
  // next entries of the buffer, taken at once, and the next one to serve;
  // whether they are slow, once the device is judged (-1 until then).
  std::vector<EntryLook> looked_ahead;
  size_t looked_next = 0;
  int looks_slow = -1;
  std::atomic<size_t> listed_ever{0};
  // Whether the directory is on a read-only mount: -1 until asked.
  std::atomic<int> read_only_mount{-1};
  // Whether renames into the directory may refuse to replace
  // (RENAME_NOREPLACE): cleared where the file system said no, so that the
  // refusal costs one call per directory, not one per file.
  std::atomic<bool> rename_noreplace{true};
  // For a directory: whether its file system makes hard links (exFAT
  // through FUSE refuses them with EPERM).
  std::atomic<bool> hard_links{true};
  // Whether files may be created in it unnamed (O_TMPFILE): cleared, as
  // above, where the file system said no.
  std::atomic<bool> unnamed_files{true};
  // Whether data written to this file moves inside the kernel: -1 until its
  // first copy decides.
  int kernel_copy = -1;
  // Bytes read from this file so far (ReadFile, CopyFileRange).
  uint64_t read_position = 0;
  // The status was let go because the file was read to its end (see
  // Advance): the next look asks for all but the access time, which the
  // run's reads leave as it was (O_NOATIME) and the status before gave.
  // On FUSE a read marks only the access time stale, so such a look is
  // answered from the kernel's cache, not by a request to the server.
  bool read_through = false;
  // A file this handle created (CreateTemporaryFileAtW, or CREATE_NEW) in
  // the directory `created_in`, whose handle outlives it: the walk closes every handle
  // before the directory it was opened in.
  Handle* created_in = nullptr;
  // For a directory: how files created in it start out, learned from the
  // first one whose security was written (see SetKernelObjectSecurity).
  NewFileLook new_file_look;
  // For a directory: whether no one but the run can change it (owned by the
  // run's user, writable by no one else): -1 until asked. Only there is
  // NewFileLook trusted, since elsewhere its owner may add a default ACL or
  // the set-group-ID bit while the run fills it.
  std::atomic<int> private_to_run{-1};
  // A file made by CreateTemporaryFileAtW: unnamed (O_TMPFILE, which has
  // the security of a new file already) or under its temporary name (mode
  // 0600 until ApplyInheritedSecurity).
  enum class Temporary { kNone, kUnnamed, kNamed };
  Temporary temporary = Temporary::kNone;
};

Handle* FromHandle(HANDLE handle);

// A new Handle, and the end of one: every handle of the backend is made
// and ended by these. The memory of ended handles is kept by the thread
// that ended them for its next ones, so that a file opened and closed per
// entry (a rerun's skipped files) costs no allocation.
Handle* NewHandle();
void EndHandle(Handle* handle);

// How many listed entries a directory's handle keeps for the opens that
// follow: 64 with one copier, 192 a copier with several, and more (up to
// 1,024 in all) once opens were seen to come later than that behind the
// listing (listings read ahead on a share, files waiting for a worker), so
// that no open looks at its file a second time. KeepListedFor starts a
// run's count.
void KeepListedFor(size_t copiers);
size_t ListedKept();
// An open did not find its name among the entries kept, after some were
// dropped: keep more from now on.
void KeepMoreListed();

// The handle's descriptor, opening it first if its open was deferred; -1
// with the last error set when that open fails or the handle is invalid.
int DescriptorOf(HANDLE handle);

// The handle's status (statx), taken on first use; nullptr with the last
// error set on failure. What it points to is good until the calling
// thread's next call.
const struct statx* StatusOf(HANDLE handle);

// After a change through the handle its status must be taken anew.
void ForgetStatus(HANDLE file);

// statx of `name` in `directory` (AT_FDCWD, or "" with AT_EMPTY_PATH for the
// descriptor itself) with the birth time; false with errno set.
constexpr unsigned kStatusFields = STATX_BASIC_STATS | STATX_BTIME;
bool StatxAt(int directory, const char* name, int flags, Status* status,
             unsigned fields = kStatusFields);

// File names: UTF-16 in the core, bytes for the kernel (DecodeFileName and
// EncodeFileName, ../utf8.h).

// The system error code of the same meaning as an errno value.
DWORD Win32ErrorFromErrno(int error);
// Sets the last error from errno; ENOENT becomes ERROR_PATH_NOT_FOUND when
// the directory holding `path` is missing too, as on Windows.
void SetLastErrorFromErrno(int error, const std::string& path = {});
void SetLastErrorCode(DWORD code);
// `code`, with the backend's own reason for it where no errno is behind it
// (DescribeNativeError shows it).
void SetLastErrorBecause(DWORD code, const char* why);
DWORD LastErrorCode();

NTSTATUS NtStatusFromErrno(int error);
ULONG DosErrorFromNtStatus(NTSTATUS status);

// FILETIME is 100 ns since 1601; timespec counts from 1970.
FILETIME FileTimeFromTimespec(const struct timespec& time);
struct timespec TimespecFromFileTime(const FILETIME& time);

FILETIME FileTimeFromStatx(const struct statx_timestamp& time);
// Creation time: birth time where the file system records it, else the
// change time.
FILETIME CreationTimeOf(const struct statx& sx);

// Entries of the table that live in their own files.
NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE event, void* apc_routine, void* apc_context,
                              IO_STATUS_BLOCK* io_status, void* buffer, ULONG length,
                              int information_class, BOOLEAN return_single_entry, void* file_name,
                              BOOLEAN restart_scan);
ULONG RtlNtStatusToDosError(NTSTATUS status);
DWORD FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     char16_t* buffer, DWORD size, void* arguments);
void* LocalFree(void* memory);
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD desired_access, HANDLE* token);
BOOL LookupPrivilegeValueA(const char* system_name, const char* name, LUID* luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                           DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                           DWORD* return_length);
HMODULE GetModuleHandleA(const char* module_name);
FARPROC GetProcAddress(HMODULE module, const char* proc_name);
BOOL GetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor, DWORD length,
                             DWORD* length_needed);
BOOL SetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor);
BOOL CopyFileRange(HANDLE source, HANDLE destination, DWORD max_bytes, uint64_t* moved);
BOOL ApplyInheritedSecurity(HANDLE object, HANDLE directory, HANDLE like);
BOOL CreateHardLinkAtW(HANDLE file, HANDLE directory, const char16_t* name);
BOOL CopyAttributes(HANDLE source, HANDLE destination);
BOOL ReadLinkTarget(HANDLE link, void* target, DWORD size, DWORD* returned);
HANDLE CreateLinkAtW(HANDLE directory, const char16_t* name, const void* target, DWORD size,
                     DWORD attributes, DWORD access);
HANDLE CreateSpecialAtW(HANDLE directory, const char16_t* name, HANDLE like, DWORD access);
BOOL RemoveDirectoryAtW(HANDLE directory, const char16_t* name);
BOOL MoveEntryAtW(HANDLE object, HANDLE directory, const char16_t* name, HANDLE to_directory,
                  const char16_t* new_name);
void Sleep(DWORD milliseconds);
// The path in /proc that leads to the open object itself.
std::string SelfPath(int fd);
// The process's umask, read once.
mode_t ProcessUmask();

// Whether what an open reached is the object looked at before it (by the
// listing, or the look the open made): a name swapped meanwhile for a link
// (to what only the run may read) or for another directory reaches another.
inline bool IsWhatWasLookedAt(const Status& looked, const Status& opened) {
  return !looked.valid ||
         (looked.sx.stx_ino == opened.sx.stx_ino &&
          looked.sx.stx_dev_major == opened.sx.stx_dev_major &&
          looked.sx.stx_dev_minor == opened.sx.stx_dev_minor);
}

// Opening, for the files that make and replace objects (open.cpp).
// openat, tried again where a signal interrupts it.
int OpenRetryingIntr(int directory, const char* path, int flags, mode_t mode);
// Opens for reading with O_NOATIME where the kernel grants it.
int OpenForReading(int directory, const char* path, int flags);
// A handle for an open descriptor and the status it was opened with.
HANDLE NewFileHandle(int fd, const Status& status);
// Sets the last error and returns INVALID_HANDLE_VALUE.
HANDLE Fail(DWORD code);
HANDLE FailWithErrno(int error, const std::string& path = {});
// Whether no one but the run can change the directory.
bool IsPrivateToRun(Handle* directory);
// Opens the link or special file `path` in `directory` as the node itself,
// still of the kind `looked` found.
HANDLE OpenNode(int directory, const std::string& path, const Status& looked);
// The handle of an open directory, or nullptr with ERROR_INVALID_HANDLE.
Handle* DirectoryHandle(HANDLE directory);

}  // namespace vx::posix
