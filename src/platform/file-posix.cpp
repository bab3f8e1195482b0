// Files, directories, times, memory and standard output on Linux.
//
// One object costs one stat: a handle keeps the status it was opened with
// (from the listing that found the object, or from the look before the
// open), and asks again only after it changed the object itself.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "posix_internal.h"

namespace vx::posix {
namespace {

int OpenRetryingIntr(int directory, const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = openat(directory, path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A read-only open asks for O_NOATIME, so a backup leaves access times be;
// the kernel grants it only to the owner or CAP_FOWNER.
int OpenForReading(int directory, const char* path, int flags) {
  int fd = OpenRetryingIntr(directory, path, flags | O_NOATIME, 0);
  if (fd < 0 && errno == EPERM) fd = OpenRetryingIntr(directory, path, flags, 0);
  return fd;
}

bool IsRegularOrDirectory(mode_t mode) {
  return S_ISREG(mode) || S_ISDIR(mode);
}

HANDLE NewFileHandle(int fd, const Status& status) {
  auto* handle = new Handle;
  handle->fd = fd;
  handle->status = status;
  return handle;
}

HANDLE Fail(DWORD code) {
  SetLastErrorCode(code);
  return INVALID_HANDLE_VALUE;
}

HANDLE FailWithErrno(int error, const std::string& path = {}) {
  SetLastErrorFromErrno(error, path);
  return INVALID_HANDLE_VALUE;
}

// Whether a write open of the regular file `status` in `parent` (or, with no
// parent, at `path`) would be refused, answered without an open: an
// immutable or append-only file is refused with EPERM, one on a read-only
// mount with EROFS. Access bits cannot refuse: the restore privilege holds
// CAP_DAC_OVERRIDE.
int WriteRefusal(Handle* parent, const std::string& path, const struct statx& status) {
  if (status.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) return EPERM;
  int read_only = parent != nullptr ? parent->read_only_mount.load() : -1;
  if (read_only < 0) {
    struct statvfs mount;
    const int result =
        parent != nullptr ? fstatvfs(parent->fd, &mount) : statvfs(path.c_str(), &mount);
    read_only = result == 0 && (mount.f_flag & ST_RDONLY) ? 1 : 0;
    if (parent != nullptr) parent->read_only_mount = read_only;
  }
  return read_only ? EROFS : 0;
}

// Whether no one but the run can change the directory: owned by the run's
// user and writable by no one else (an ACL granting more shows in the group
// bits as its mask). Its owner can change that only by the run's own hand.
bool IsPrivateToRun(Handle* directory) {
  if (directory == nullptr) return false;
  if (directory->private_to_run < 0) {
    const struct statx* sx = StatusOf(directory);
    directory->private_to_run =
        sx != nullptr && sx->stx_uid == geteuid() && (sx->stx_mode & 022) == 0 ? 1 : 0;
  }
  return directory->private_to_run == 1;
}

// Opens the link or special file `path` in `directory` as the node itself
// (O_PATH, which never opens a FIFO or device for I/O); it must still be the
// kind `looked` found, else it is not the object the look judged.
HANDLE OpenNode(int directory, const std::string& path, const Status& looked) {
  const int fd = OpenRetryingIntr(directory, path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return FailWithErrno(errno);
  Status status;
  if (!StatxAt(fd, "", AT_EMPTY_PATH, &status) ||
      (status.sx.stx_mode & S_IFMT) != (looked.sx.stx_mode & S_IFMT)) {
    const int error = errno;
    close(fd);
    return status.valid ? Fail(ERROR_FILE_INVALID) : FailWithErrno(error);
  }
  auto* handle = static_cast<Handle*>(NewFileHandle(fd, status));
  handle->node = true;
  return handle;
}

// Opens `path` (relative to `directory`, or AT_FDCWD) the way CreateFileW
// would with these arguments:
// - every open is close-on-exec and made with O_NONBLOCK, so no open waits;
// - with backup semantics only regular files and directories are taken, and
//   the type is judged before the open (from `listed`, the status the
//   directory listing just took, or a look of its own): opening a FIFO,
//   socket or device can itself act (a tape rewinds, a watchdog arms), so
//   those fail with ERROR_INVALID_FUNCTION unopened. O_NONBLOCK then stays
//   on, so a read that would block (a procfs file such as /proc/kmsg) fails
//   instead;
// - without backup semantics (the log files) any object but a directory is
//   an ordinary output (a FIFO with a reader, /dev/null, a terminal), and
//   its writes block as usual;
// - FILE_FLAG_OPEN_REPARSE_POINT never follows a symbolic link at `path`:
//   the open fails with ERROR_CANT_RESOLVE_FILENAME;
// - FILE_FLAG_OPEN_NODE opens a link, FIFO, socket or device as the node;
// - CREATE_NEW is O_CREAT|O_EXCL, which follows no link and meets no special
//   file; an existing name fails with ERROR_FILE_EXISTS;
// - a directory opened with backup semantics is opened as a directory, also
//   for writing, as Windows does;
// - an existing regular file opened for reading, or probed for writing, is
//   opened only when its descriptor is first needed: what the listing or the
//   look found answers for it until then, and the write probe asks the
//   status and the mount whether a write open would be refused. A file that
//   is skipped is thus decided on without an open.
HANDLE OpenLikeCreateFile(Handle* parent, int directory, const std::string& path, DWORD access,
                          DWORD disposition, DWORD flags, const Status* listed) {
  const bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  const bool open_node = (flags & FILE_FLAG_OPEN_NODE) != 0;
  const bool no_follow = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 || open_node;
  const bool directory_only = (flags & FILE_FLAG_DIRECTORY_ONLY) != 0;
  const bool appending = (access & FILE_APPEND_DATA) != 0;
  const bool writing = (access & GENERIC_WRITE) != 0 || appending;
  // ERROR_PATH_NOT_FOUND is told apart by looking at the path's parent,
  // which a relative open already holds open.
  const std::string& path_for_errors = directory == AT_FDCWD ? path : std::string();
  const int base_flags = O_CLOEXEC | O_NONBLOCK | (no_follow ? O_NOFOLLOW : 0);

  if (disposition == CREATE_NEW) {
    const int fd = OpenRetryingIntr(
        directory, path.c_str(),
        base_flags | O_NOFOLLOW | O_CREAT | O_EXCL | (writing ? O_WRONLY : O_RDONLY), 0666);
    if (fd < 0) return errno == EEXIST ? Fail(ERROR_FILE_EXISTS) : FailWithErrno(errno);
    return NewFileHandle(fd, Status{});
  }
  if (disposition != OPEN_EXISTING && disposition != CREATE_ALWAYS &&
      disposition != OPEN_ALWAYS) {
    return Fail(ERROR_INVALID_PARAMETER);
  }

  Status known;
  if (backup) {
    if (listed != nullptr && listed->valid) {
      known = *listed;
    } else if (!StatxAt(directory, path.c_str(), no_follow ? AT_SYMLINK_NOFOLLOW : 0, &known) &&
               errno == ENOENT && disposition == OPEN_EXISTING) {
      return FailWithErrno(ENOENT, path_for_errors);  // an open would find nothing either
    }
  }
  const mode_t mode = known.valid ? known.sx.stx_mode : 0;
  if (open_node && known.valid && !IsRegularOrDirectory(mode)) {
    return disposition == OPEN_EXISTING ? OpenNode(directory, path, known)
                                        : Fail(ERROR_INVALID_PARAMETER);
  }
  if (known.valid && S_ISLNK(mode)) return Fail(ERROR_CANT_RESOLVE_FILENAME);
  if (known.valid && directory_only && !S_ISDIR(mode)) return Fail(ERROR_DIRECTORY);
  if (known.valid && !IsRegularOrDirectory(mode)) return Fail(ERROR_INVALID_FUNCTION);

  if (known.valid && S_ISREG(mode) && disposition == OPEN_EXISTING) {
    if (writing) {
      const int refusal = WriteRefusal(parent, path, known.sx);
      if (refusal != 0) return FailWithErrno(refusal);
    }
    auto* handle = static_cast<Handle*>(NewFileHandle(-1, known));
    handle->deferred = true;
    handle->deferred_directory = directory;
    handle->deferred_parent = parent;
    handle->deferred_name = path;
    handle->deferred_flags = base_flags | (writing ? O_WRONLY : O_RDONLY);
    return handle;
  }

  int open_flags = base_flags;
  if (directory_only) {
    if (disposition != OPEN_EXISTING) return Fail(ERROR_INVALID_PARAMETER);
    const int fd = OpenForReading(directory, path.c_str(), open_flags | O_RDONLY | O_DIRECTORY);
    if (fd < 0)
      return errno == ENOTDIR ? Fail(ERROR_DIRECTORY) : FailWithErrno(errno, path_for_errors);
    Status status;
    if (!StatxAt(fd, "", AT_EMPTY_PATH, &status)) {
      const int error = errno;
      close(fd);
      return FailWithErrno(error);
    }
    return NewFileHandle(fd, status);
  }
  if (known.valid && S_ISDIR(mode) && disposition == OPEN_EXISTING) {
    open_flags |= O_RDONLY | O_DIRECTORY;
  } else {
    open_flags |= writing ? O_WRONLY : O_RDONLY;
    if (appending) open_flags |= O_APPEND;
    if (disposition == CREATE_ALWAYS) open_flags |= O_CREAT | O_TRUNC;
    if (disposition == OPEN_ALWAYS) open_flags |= O_CREAT;
  }
  int fd;
  if (!writing || (open_flags & O_DIRECTORY)) {
    fd = OpenForReading(directory, path.c_str(), open_flags);
  } else {
    fd = OpenRetryingIntr(directory, path.c_str(), open_flags, 0666);
    if (fd < 0 && errno == EISDIR && backup && disposition == OPEN_EXISTING) {
      fd = OpenForReading(directory, path.c_str(), base_flags | O_RDONLY | O_DIRECTORY);
    }
  }
  if (fd < 0) return FailWithErrno(errno, path_for_errors);

  // The object opened is the one judged (its type, identity, times and
  // security), not the one looked at before: the name may have been
  // swapped meanwhile, for a link back up the tree among others.
  Status status;
  if (!StatxAt(fd, "", AT_EMPTY_PATH, &status)) {
    const int error = errno;
    close(fd);
    return FailWithErrno(error);
  }
  const mode_t opened = status.sx.stx_mode;
  if (S_ISDIR(opened) && !backup) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED);
  }
  // The type may have changed between the look and the open.
  if (backup && !IsRegularOrDirectory(opened)) {
    close(fd);
    return Fail(ERROR_INVALID_FUNCTION);
  }
  if (!backup) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (writing || disposition == CREATE_ALWAYS) status.valid = false;  // it is to change
  return NewFileHandle(fd, status);
}

Handle* DirectoryHandle(HANDLE directory) {
  Handle* handle = FromHandle(directory);
  if (handle == nullptr || handle->fd < 0) SetLastErrorCode(ERROR_INVALID_HANDLE);
  return handle != nullptr && handle->fd >= 0 ? handle : nullptr;
}

}  // namespace

namespace {
// Pseudo file systems, whose files report a size of 0 or a nominal one and
// can be read without end.
bool IsPseudoFileSystem(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case SECURITYFS_MAGIC:
    case BPF_FS_MAGIC:
    case 0x62656570:  // configfs
    case EFIVARFS_MAGIC:
      return true;
    default:
      return false;
  }
}

// Judges the object a deferred open reached, before anything is read from
// it: what the look before the open found may have been swapped for
// another file, a link to one, a FIFO or a device. A regular file of a
// pseudo file system is refused where it lies on another file system than
// its directory (reached through a link): it would be read without end.
// Returns 0, or the error for the open; on success the handle's status is
// the opened object's.
DWORD JudgeOpened(Handle* handle, int fd) {
  Status opened;
  if (!StatxAt(fd, "", AT_EMPTY_PATH, &opened)) return Win32ErrorFromErrno(errno);
  if (!S_ISREG(opened.sx.stx_mode)) return ERROR_INVALID_FUNCTION;
  const Status& looked = handle->status;
  if (looked.valid && (opened.sx.stx_ino != looked.sx.stx_ino ||
                       opened.sx.stx_dev_major != looked.sx.stx_dev_major ||
                       opened.sx.stx_dev_minor != looked.sx.stx_dev_minor)) {
    return ERROR_FILE_INVALID;
  }
  Handle* parent = handle->deferred_parent;
  Status parent_status;
  if (parent != nullptr) {
    std::lock_guard<std::mutex> lock(parent->guard);
    parent_status = parent->status;
  }
  if (parent_status.valid &&
      (opened.sx.stx_dev_major != parent_status.sx.stx_dev_major ||
       opened.sx.stx_dev_minor != parent_status.sx.stx_dev_minor) &&
      IsPseudoFileSystem(fd)) {
    return ERROR_NOT_SUPPORTED;
  }
  handle->status = opened;
  return 0;
}
}  // namespace

void ForgetStatus(HANDLE file) {
  if (Handle* handle = FromHandle(file)) {
    std::lock_guard<std::mutex> lock(handle->guard);
    handle->status.valid = false;
  }
}

Handle* FromHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  return static_cast<Handle*>(handle);
}

int DescriptorOf(HANDLE file) {
  Handle* handle = FromHandle(file);
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (handle->deferred) {
    handle->deferred = false;
    const char* name = handle->deferred_name.c_str();
    const int flags = handle->deferred_flags;
    const int fd = (flags & O_ACCMODE) == O_RDONLY
                       ? OpenForReading(handle->deferred_directory, name, flags)
                       : OpenRetryingIntr(handle->deferred_directory, name, flags, 0);
    handle->open_error = fd < 0 ? Win32ErrorFromErrno(errno) : JudgeOpened(handle, fd);
    if (handle->open_error == 0) {
      handle->fd = fd;
    } else if (fd >= 0) {
      close(fd);
    }
  }
  if (handle->fd < 0) {
    SetLastErrorCode(handle->open_error != 0 ? handle->open_error : ERROR_INVALID_HANDLE);
  }
  return handle->fd;
}

bool StatxAt(int directory, const char* name, int flags, Status* status) {
  status->valid = statx(directory, name, flags | AT_STATX_SYNC_AS_STAT,
                        STATX_BASIC_STATS | STATX_BTIME, &status->sx) == 0;
  return status->valid;
}

const struct statx* StatusOf(HANDLE file) {
  Handle* handle = FromHandle(file);
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  thread_local struct statx copy;
  std::lock_guard<std::mutex> lock(handle->guard);
  if (!handle->status.valid) {
    const int fd = DescriptorOf(file);
    if (fd < 0) return nullptr;
    if (!StatxAt(fd, "", AT_EMPTY_PATH, &handle->status)) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
  }
  copy = handle->status.sx;
  return &copy;
}

FILETIME FileTimeFromTimespec(const struct timespec& time) {
  return FileTimeFromTicks(static_cast<uint64_t>(
      kUnixEpochAsFileTime + int64_t{time.tv_sec} * kFileTimeTicksPerSecond + time.tv_nsec / 100));
}

FILETIME FileTimeFromStatx(const struct statx_timestamp& time) {
  return FileTimeFromTimespec(
      timespec{static_cast<time_t>(time.tv_sec), static_cast<long>(time.tv_nsec)});
}

struct timespec TimespecFromFileTime(const FILETIME& time) {
  int64_t since_epoch = static_cast<int64_t>(FileTimeTicks(time)) - kUnixEpochAsFileTime;
  int64_t seconds = since_epoch / kFileTimeTicksPerSecond;
  int64_t rest = since_epoch % kFileTimeTicksPerSecond;
  if (rest < 0) {
    rest += kFileTimeTicksPerSecond;
    seconds -= 1;
  }
  struct timespec out;
  out.tv_sec = static_cast<time_t>(seconds);
  out.tv_nsec = static_cast<long>(rest * 100);
  return out;
}

FILETIME CreationTimeOf(const struct statx& sx) {
  return FileTimeFromStatx((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime);
}

HANDLE CreateFileW(const char16_t* name, DWORD access, DWORD, void*, DWORD disposition, DWORD flags,
                   HANDLE) {
  return OpenLikeCreateFile(nullptr, AT_FDCWD, EncodeFileName(name), access, disposition, flags,
                            nullptr);
}


BOOL CreateDirectoryW(const char16_t* name, void*) {
  std::string path = EncodeFileName(name);
  if (mkdir(path.c_str(), kPrivateDirectoryMode) != 0) {
    SetLastErrorFromErrno(errno, path);
    return 0;
  }
  return 1;
}

// An open of an entry the listing handed out lately (the walk's own open
// right after, a worker's a few entries later) uses the status the listing
// took, the latest where a name was listed twice.
HANDLE CreateFileAtW(HANDLE directory, const char16_t* name, DWORD access, DWORD, DWORD disposition,
                     DWORD flags) {
  Handle* parent = DirectoryHandle(directory);
  if (parent == nullptr) return INVALID_HANDLE_VALUE;
  const std::string path = EncodeFileName(name);
  // The listing followed a link it found: a node open looks for itself.
  Status listed;
  {
    std::lock_guard<std::mutex> lock(parent->guard);
    const size_t count = parent->listed.size();
    for (size_t back = 1; back <= count; ++back) {
      const Handle::ListedEntry& entry =
          parent->listed[(parent->listed_next + count - back) % count];
      if (entry.name != path) continue;
      if (!(entry.link && (flags & FILE_FLAG_OPEN_NODE))) listed = entry.status;
      break;
    }
  }
  HANDLE opened = OpenLikeCreateFile(parent, parent->fd, path, access, disposition, flags,
                                     listed.valid ? &listed : nullptr);
  // A name may have been added to the directory.
  if (opened != INVALID_HANDLE_VALUE && disposition != OPEN_EXISTING) ForgetStatus(directory);
  return opened;
}

BOOL CloseHandle(HANDLE object);

// mkdirat never follows a link at the name: an existing one is EEXIST. It
// gives no descriptor: the new directory is opened by its name, never
// through a link, and must be owned by the runner, or by the parent's owner
// where the file system gives every object one owner (vfat, CIFS); else
// someone who may write the parent swapped the name in between. Modes are
// not judged: such file systems give every directory the same.
HANDLE CreateDirectoryAtW(HANDLE directory, const char16_t* name, DWORD access) {
  Handle* parent = DirectoryHandle(directory);
  if (parent == nullptr) return INVALID_HANDLE_VALUE;
  if (mkdirat(parent->fd, EncodeFileName(name).c_str(), kPrivateDirectoryMode) != 0) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  ForgetStatus(directory);
  HANDLE made = CreateFileAtW(
      directory, name, access, 0, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_DIRECTORY_ONLY);
  if (made == INVALID_HANDLE_VALUE) return made;
  const struct statx* made_status = StatusOf(made);
  const bool known = made_status != nullptr;
  const uid_t owner = known ? made_status->stx_uid : 0;
  const struct statx* parent_status = known ? StatusOf(directory) : nullptr;
  if (!known ||
      (owner != geteuid() && (parent_status == nullptr || owner != parent_status->stx_uid))) {
    CloseHandle(made);
    SetLastErrorCode(ERROR_FILE_INVALID);
    return INVALID_HANDLE_VALUE;
  }
  return made;
}

namespace {
// Gives the open file `fd` (an unnamed one, or one with names) the name
// `name` in `directory`. AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH, which the
// backup privilege raises; without it the descriptor's entry in /proc does
// the same.
int LinkDescriptor(int fd, int directory, const char* name) {
  if (linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOENT && errno != EPERM) return -1;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, self.c_str(), directory, name, AT_SYMLINK_FOLLOW);
}

bool UnnamedFilesUnsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}
}  // namespace

// O_TMPFILE where the file system has it (asked once per directory): the
// file has no name at all while it is written, so no one can open it, yet
// it starts with exactly the security a new file gets (umask, default
// ACL). Elsewhere it takes its temporary name with mode 0600.
HANDLE CreateTemporaryFileAtW(HANDLE directory, const char16_t* name, DWORD access) {
  Handle* parent = DirectoryHandle(directory);
  if (parent == nullptr) return INVALID_HANDLE_VALUE;
  const int mode = (access & GENERIC_READ) ? O_RDWR : O_WRONLY;
  Handle::Temporary kind = Handle::Temporary::kUnnamed;
  int fd = -1;
  if (parent->unnamed_files.load()) {
    fd = OpenRetryingIntr(parent->fd, ".", O_TMPFILE | O_CLOEXEC | mode, 0666);
    if (fd < 0 && UnnamedFilesUnsupported(errno)) parent->unnamed_files.store(false);
  }
  if (fd < 0 && !parent->unnamed_files.load()) {
    kind = Handle::Temporary::kNamed;
    fd = OpenRetryingIntr(parent->fd, EncodeFileName(name).c_str(),
                          O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | mode, 0600);
    if (fd >= 0) ForgetStatus(directory);
  }
  if (fd < 0) return errno == EEXIST ? Fail(ERROR_FILE_EXISTS) : FailWithErrno(errno);
  auto* handle = static_cast<Handle*>(NewFileHandle(fd, Status{}));
  handle->temporary = kind;
  if (IsPrivateToRun(parent)) handle->created_in = parent;
  return handle;
}

// A named temporary file is renamed; an unnamed one is linked in at once
// where nothing may be replaced, else linked under its temporary name and
// renamed, so the name changes from the old file to the new in one step.
BOOL MoveFileAtW(HANDLE file, HANDLE directory, const char16_t* name, const char16_t* new_name,
                 BOOL replace) {
  Handle* handle = FromHandle(file);
  Handle* parent = DirectoryHandle(directory);
  if (handle == nullptr || parent == nullptr || DescriptorOf(file) < 0) return 0;
  const std::string from = EncodeFileName(name);
  const std::string to = EncodeFileName(new_name);
  ForgetStatus(directory);
  auto fail = [](int error) {
    SetLastErrorCode(error == EEXIST ? ERROR_ALREADY_EXISTS : Win32ErrorFromErrno(error));
    return 0;
  };
  const bool unnamed = handle->temporary == Handle::Temporary::kUnnamed;
  if (!replace) {
    if (unnamed) return LinkDescriptor(handle->fd, parent->fd, to.c_str()) == 0 ? 1 : fail(errno);
    if (parent->rename_noreplace.load()) {
      if (renameat2(parent->fd, from.c_str(), parent->fd, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 1;
      }
      if (errno != EINVAL && errno != ENOSYS) return fail(errno);
      parent->rename_noreplace.store(false);
    }
    // A file system without RENAME_NOREPLACE: a hard link cannot replace.
    if (linkat(parent->fd, from.c_str(), parent->fd, to.c_str(), 0) != 0) return fail(errno);
    unlinkat(parent->fd, from.c_str(), 0);
    return 1;
  }
  if (unnamed && LinkDescriptor(handle->fd, parent->fd, from.c_str()) != 0) return fail(errno);
  handle->temporary = Handle::Temporary::kNamed;  // it has a name now
  if (renameat(parent->fd, from.c_str(), parent->fd, to.c_str()) != 0) return fail(errno);
  return 1;
}

// unlinkat without AT_REMOVEDIR refuses a directory and removes a link
// itself, never its target.
BOOL DeleteFileAtW(HANDLE directory, const char16_t* name) {
  Handle* parent = DirectoryHandle(directory);
  if (parent == nullptr) return 0;
  if (unlinkat(parent->fd, EncodeFileName(name).c_str(), 0) != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  ForgetStatus(directory);
  return 1;
}

// unlinkat with AT_REMOVEDIR never follows a link: one at the name is
// ENOTDIR.
BOOL RemoveDirectoryAtW(HANDLE directory, const char16_t* name) {
  Handle* parent = DirectoryHandle(directory);
  if (parent == nullptr) return 0;
  if (unlinkat(parent->fd, EncodeFileName(name).c_str(), AT_REMOVEDIR) != 0) {
    SetLastErrorCode(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : Win32ErrorFromErrno(errno));
    return 0;
  }
  ForgetStatus(directory);
  return 1;
}

void Sleep(DWORD milliseconds) {
  struct timespec wait = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

mode_t ProcessUmask() {
  static const mode_t mask = [] {
    const mode_t current = umask(0);
    umask(current);
    return current;
  }();
  return mask;
}

namespace {
// One read or write on the handle's descriptor, retried when a signal
// interrupts it; the count moved goes to *moved.
template <typename Transfer>
BOOL TransferOnce(HANDLE file, DWORD* moved, Transfer transfer) {
  *moved = 0;
  const int fd = DescriptorOf(file);
  if (fd < 0) return 0;
  ssize_t n;
  do {
    n = transfer(fd);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  *moved = static_cast<DWORD>(n);
  return 1;
}
}  // namespace

namespace {
// Once a file has been read up to the size its status gave (or to its end)
// the status is looked at anew when next asked, so the caller sees whether
// the file changed while it was read, without a read that finds the end.
void Advance(HANDLE file, uint64_t moved) {
  Handle* handle = FromHandle(file);
  if (handle == nullptr) return;
  handle->read_position += moved;
  if (moved == 0 || handle->read_position >= handle->status.sx.stx_size) {
    handle->status.valid = false;
  }
}
}  // namespace

BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read_count, void*) {
  const BOOL done =
      TransferOnce(file, read_count, [&](int fd) { return read(fd, buffer, to_read); });
  if (done) Advance(file, *read_count);
  return done;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written, void*) {
  ForgetStatus(file);
  return TransferOnce(file, written, [&](int fd) { return write(fd, buffer, to_write); });
}

namespace {
// The pair of file systems a reflink was last refused between, so that a
// tree on a file system without them asks once, not for every file.
dev_t g_unclonable_source = 0;
dev_t g_unclonable_destination = 0;

dev_t DeviceOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_dev : 0;
}

bool MayClone(const struct statx& source, int destination) {
  const dev_t device = makedev(source.stx_dev_major, source.stx_dev_minor);
  return !(device == g_unclonable_source && DeviceOf(destination) == g_unclonable_destination);
}

void CannotClone(const struct statx& source, int destination) {
  if (errno != EOPNOTSUPP && errno != EXDEV && errno != EINVAL && errno != ENOTTY) return;
  g_unclonable_source = makedev(source.stx_dev_major, source.stx_dev_minor);
  g_unclonable_destination = DeviceOf(destination);
}

// Data moved inside the kernel: copy_file_range, which file systems that can
// share blocks turn into a reflink and NFS 4.2 into a server-side copy. A
// source with fewer blocks than its length holds holes: each hole is skipped
// on both sides (SEEK_DATA, SEEK_HOLE) and counted as moved, so it stays a
// hole and the copy keeps the full length. An empty file is left to the
// buffer (ERROR_NOT_SUPPORTED before anything moved): one read finds its end.
BOOL CopyRange(HANDLE source, HANDLE destination, DWORD max_bytes, uint64_t* moved) {
  *moved = 0;
  Handle* target = FromHandle(destination);
  const struct statx* status = StatusOf(source);
  const int in = DescriptorOf(source);
  const int out = DescriptorOf(destination);
  if (target == nullptr || status == nullptr || in < 0 || out < 0) return 0;
  const bool sparse = status->stx_blocks * 512 < status->stx_size;
  if (target->kernel_copy < 0) {
    target->kernel_copy = sparse || status->stx_size > 0;
  }
  if (!target->kernel_copy) {
    SetLastErrorCode(ERROR_NOT_SUPPORTED);
    return 0;
  }
  ForgetStatus(destination);
  // A whole file that a file system can share (btrfs, xfs) is one reflink:
  // no data moves, so nothing is gained by chunks.
  const bool first_call = target->kernel_copy == 1;
  target->kernel_copy = 2;
  if (!sparse && first_call && status->stx_size > max_bytes && MayClone(*status, out)) {
    if (ioctl(out, FICLONE, in) == 0) {
      const off_t end = lseek(out, 0, SEEK_END);
      if (end < 0 || lseek(in, end, SEEK_SET) < 0) {
        SetLastErrorFromErrno(errno);
        return 0;
      }
      *moved = static_cast<uint64_t>(end);
      return 1;
    }
    CannotClone(*status, out);
  }
  auto fail = [] {
    SetLastErrorFromErrno(errno);
    return 0;
  };
  size_t limit = max_bytes;
  if (sparse) {
    const off_t position = lseek(in, 0, SEEK_CUR);
    if (position < 0) return fail();
    off_t data = lseek(in, position, SEEK_DATA);
    if (data < 0 && errno != ENXIO) return fail();
    if (data < 0) data = lseek(in, 0, SEEK_END);  // a hole up to the end, or the end
    if (data < 0) return fail();
    if (data > position) {
      const off_t end = lseek(out, data - position, SEEK_CUR);
      if (end < 0 || ftruncate(out, end) != 0) return fail();
      *moved = static_cast<uint64_t>(data - position);
      return 1;
    }
    const off_t hole = lseek(in, position, SEEK_HOLE);
    if (hole < 0 || lseek(in, position, SEEK_SET) < 0) return fail();
    limit = std::min(limit, static_cast<size_t>(hole - position));
  }
  ssize_t n;
  do {
    n = copy_file_range(in, nullptr, out, nullptr, limit, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return fail();
  *moved = static_cast<uint64_t>(n);
  return 1;
}
}  // namespace

BOOL CopyFileRange(HANDLE source, HANDLE destination, DWORD max_bytes, uint64_t* moved) {
  const BOOL done = CopyRange(source, destination, max_bytes, moved);
  if (done) Advance(source, *moved);
  return done;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  const struct statx* sx = StatusOf(file);
  if (sx == nullptr) return 0;
  *info = {};
  info->dwFileAttributes = S_ISDIR(sx->stx_mode)   ? FILE_ATTRIBUTE_DIRECTORY
                           : S_ISLNK(sx->stx_mode) ? FILE_ATTRIBUTE_REPARSE_POINT
                           : S_ISREG(sx->stx_mode) ? FILE_ATTRIBUTE_NORMAL
                                                   : FILE_ATTRIBUTE_DEVICE;
  info->ftCreationTime = CreationTimeOf(*sx);
  info->ftLastAccessTime = FileTimeFromStatx(sx->stx_atime);
  info->ftLastWriteTime = FileTimeFromStatx(sx->stx_mtime);
  // The kernel's own device numbers have 12 bits of major and 20 of minor,
  // so this packing keeps every bit that tells two devices apart.
  info->dwVolumeSerialNumber = (sx->stx_dev_major & 0xFFF) << 20 | (sx->stx_dev_minor & 0xFFFFF);
  info->nFileSizeHigh = static_cast<DWORD>(sx->stx_size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(sx->stx_size);
  info->nNumberOfLinks = sx->stx_nlink;
  info->nFileIndexHigh = static_cast<DWORD>(sx->stx_ino >> 32);
  info->nFileIndexLow = static_cast<DWORD>(sx->stx_ino);
  return 1;
}

namespace {
bool AlreadyIs(const FILETIME* wanted, const struct statx_timestamp& current) {
  if (wanted == nullptr) return true;
  const struct timespec time = TimespecFromFileTime(*wanted);
  return time.tv_sec == current.tv_sec && time.tv_nsec == static_cast<long>(current.tv_nsec);
}
}  // namespace

// Linux keeps no settable creation time: only access and write times are set.
// A directory whose status was taken after its last change (a rerun over an
// unchanged tree: no name added, no security written) and that already has
// these times is left alone. Its access time has not moved since: the walk
// lists only source directories, and with O_NOATIME.
BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* access, const FILETIME* write) {
  const int fd = DescriptorOf(file);
  if (fd < 0) return 0;
  const Status& known = FromHandle(file)->status;
  if (known.valid && S_ISDIR(known.sx.stx_mode) && AlreadyIs(access, known.sx.stx_atime) &&
      AlreadyIs(write, known.sx.stx_mtime)) {
    return 1;
  }
  ForgetStatus(file);
  struct timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_nsec = UTIME_OMIT;
  if (access != nullptr) times[0] = TimespecFromFileTime(*access);
  if (write != nullptr) times[1] = TimespecFromFileTime(*write);
  // A node's descriptor is O_PATH, which futimens refuses.
  const int result =
      FromHandle(file)->node ? utimensat(fd, "", times, AT_EMPTY_PATH) : futimens(fd, times);
  if (result != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

LONG CompareFileTime(const FILETIME* first, const FILETIME* second) {
  const uint64_t a = FileTimeTicks(*first);
  const uint64_t b = FileTimeTicks(*second);
  return a < b ? -1 : (a > b ? 1 : 0);
}

BOOL CloseHandle(HANDLE object) {
  Handle* handle = FromHandle(object);
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return 0;
  }
  int result = 0;
  if (handle->fd >= 0 && handle->owns_fd) result = close(handle->fd);
  int error = errno;
  if (handle->owns_fd) delete handle;
  if (result != 0) {
    SetLastErrorFromErrno(error);
    return 0;
  }
  return 1;
}

void* VirtualAlloc(void*, size_t size, DWORD, DWORD) {
  if (size == 0) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Populated at once: the buffer is committed before the walk starts.
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (memory == MAP_FAILED) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  return memory;
}

void GetSystemTimeAsFileTime(FILETIME* now) {
  struct timespec time;
  clock_gettime(CLOCK_REALTIME, &time);
  *now = FileTimeFromTimespec(time);
}

HANDLE GetStdHandle(DWORD which) {
  // Standard output and standard error; the handles do not own their
  // descriptors, so closing one leaves fd 1 or 2 alone.
  static Handle standard_streams[2] = {Handle{}, Handle{}};
  if (which != STD_OUTPUT_HANDLE && which != STD_ERROR_HANDLE) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  Handle& stream = standard_streams[which == STD_ERROR_HANDLE ? 1 : 0];
  stream.fd = which == STD_ERROR_HANDLE ? STDERR_FILENO : STDOUT_FILENO;
  stream.owns_fd = false;
  return &stream;
}

BOOL GetTerminalColumns(HANDLE console, DWORD* columns) {
  Handle* handle = FromHandle(console);
  struct winsize size = {};
  if (handle == nullptr || ioctl(handle->fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);  // no terminal, or one nobody sized
    return 0;
  }
  *columns = size.ws_col;
  return 1;
}

DWORD GetFileType(HANDLE file) {
  Handle* handle = FromHandle(file);
  struct stat st;
  if (handle == nullptr || fstat(handle->fd, &st) != 0) return 0;
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_DISK;
}

// Linked from the descriptor: the name is made for the very object the
// handle holds, whatever its path has become. A file system without hard
// links refuses with EPERM, which here means "not supported".
BOOL CreateHardLinkAtW(HANDLE file, HANDLE directory, const char16_t* name) {
  Handle* parent = DirectoryHandle(directory);
  const int fd = parent != nullptr ? DescriptorOf(file) : -1;
  if (fd < 0) return 0;
  if (LinkDescriptor(fd, parent->fd, EncodeFileName(name).c_str()) != 0) {
    if (errno == EPERM) {
      SetLastErrorCode(ERROR_NOT_SUPPORTED);
    } else {
      SetLastErrorFromErrno(errno);
    }
    return 0;
  }
  ForgetStatus(directory);
  ForgetStatus(file);  // its link count changed
  return 1;
}

std::string SelfPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// readlink of the node itself: an empty path names the O_PATH descriptor.
BOOL ReadLinkTarget(HANDLE link, void* target, DWORD size, DWORD* returned) {
  Handle* handle = FromHandle(link);
  if (handle == nullptr || !handle->node) {
    SetLastErrorCode(handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_NOT_A_REPARSE_POINT);
    return 0;
  }
  const ssize_t got = readlinkat(handle->fd, "", static_cast<char*>(target), size);
  if (got < 0) {
    if (errno == EINVAL || errno == ENOENT) {
      SetLastErrorCode(ERROR_NOT_A_REPARSE_POINT);
    } else {
      SetLastErrorFromErrno(errno);
    }
    return 0;
  }
  // A target that fills the buffer may have been cut.
  if (static_cast<DWORD>(got) == size) {
    SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  *returned = static_cast<DWORD>(got);
  return 1;
}

namespace {
// Opens the node just made as `name` in `parent`, checked to be of `type`.
HANDLE OpenCreatedNode(Handle* parent, const std::string& name, mode_t type) {
  ForgetStatus(parent);
  Status looked;
  looked.sx.stx_mode = static_cast<uint16_t>(type);
  return OpenNode(parent->fd, name, looked);
}
}  // namespace

// symlinkat fails on any existing name and never follows one; the link
// gets the target's bytes as they are, relative or absolute, dangling or
// not. Linux links have no kind: `attributes` does not matter.
HANDLE CreateLinkAtW(HANDLE directory, const char16_t* name, const void* target, DWORD size, DWORD,
                     DWORD) {
  Handle* parent = DirectoryHandle(directory);
  if (parent == nullptr) return INVALID_HANDLE_VALUE;
  const std::string text(static_cast<const char*>(target), size);
  if (text.empty() || text.find('\0') != std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
  const std::string path = EncodeFileName(name);
  if (symlinkat(text.c_str(), parent->fd, path.c_str()) != 0) {
    return errno == EEXIST ? Fail(ERROR_FILE_EXISTS) : FailWithErrno(errno);
  }
  return OpenCreatedNode(parent, path, S_IFLNK);
}

// mknodat with the kind and device numbers of `like`, mode 0600 until its
// security is set; no one can open it meanwhile but its owner, the run.
HANDLE CreateSpecialAtW(HANDLE directory, const char16_t* name, HANDLE like, DWORD) {
  Handle* parent = DirectoryHandle(directory);
  const struct statx* sx = parent != nullptr ? StatusOf(like) : nullptr;
  if (sx == nullptr) return INVALID_HANDLE_VALUE;
  const mode_t type = sx->stx_mode & S_IFMT;
  if (!S_ISFIFO(type) && !S_ISSOCK(type) && !S_ISCHR(type) && !S_ISBLK(type)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::string path = EncodeFileName(name);
  if (mknodat(parent->fd, path.c_str(), type | 0600,
              makedev(sx->stx_rdev_major, sx->stx_rdev_minor)) != 0) {
    return errno == EEXIST ? Fail(ERROR_FILE_EXISTS) : FailWithErrno(errno);
  }
  return OpenCreatedNode(parent, path, type);
}

}  // namespace vx::posix
