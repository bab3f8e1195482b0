// Opening and creating on Linux: CreateFileW and its relatives, and the
// checks on what an open reached. An existing file is opened only when its
// descriptor is first needed (handles.cpp), judged by the status its
// listing or the look before the open took.
#include <sys/statvfs.h>

#include "internal.h"

namespace vx::posix {

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

namespace {

bool IsRegularOrDirectory(mode_t mode) {
  return S_ISREG(mode) || S_ISDIR(mode);
}

}  // namespace

HANDLE Fail(DWORD code) {
  SetLastErrorCode(code);
  return INVALID_HANDLE_VALUE;
}

// A FIFO, socket or device met where backup semantics take only files and
// directories.
HANDLE FailAsSpecial() {
  SetLastErrorBecause(ERROR_INVALID_FUNCTION,
                      "a FIFO, socket or device, not opened for data; /Specials copies it as such");
  return INVALID_HANDLE_VALUE;
}

HANDLE FailWithErrno(int error, const std::string& path) {
  SetLastErrorFromErrno(error, path);
  return INVALID_HANDLE_VALUE;
}

namespace {

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

}  // namespace

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

namespace {

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
    auto* handle = static_cast<Handle*>(NewFileHandle(fd, Status{}));
    handle->one_user = true;
    handle->made = true;
    if (parent != nullptr) {
      ForgetStatus(parent);
      // Made here like a temporary file: it starts out as the directory's
      // new files do (see SetKernelObjectSecurity).
      if (IsPrivateToRun(parent)) handle->created_in = parent;
    }
    return handle;
  }
  if (disposition != OPEN_EXISTING && disposition != CREATE_ALWAYS &&
      disposition != OPEN_ALWAYS) {
    return Fail(ERROR_INVALID_PARAMETER);
  }

  // A directory-only open needs no look first: O_DIRECTORY opens nothing
  // else (a FIFO or device is refused unopened), and what it opened is
  // looked at through its descriptor.
  const bool look_first = backup && (listed == nullptr || !listed->valid) &&
                          !(directory_only && disposition == OPEN_EXISTING && !open_node);
  Status looked;
  if (look_first) {
    if (!StatxAt(directory, path.c_str(), no_follow ? AT_SYMLINK_NOFOLLOW : 0, &looked) &&
        errno == ENOENT && disposition == OPEN_EXISTING) {
      return FailWithErrno(ENOENT, path_for_errors);  // an open would find nothing either
    }
  }
  const Status& known = backup && listed != nullptr && listed->valid ? *listed : looked;
  const mode_t mode = known.valid ? known.sx.stx_mode : 0;
  if (open_node && known.valid && !IsRegularOrDirectory(mode)) {
    return disposition == OPEN_EXISTING ? OpenNode(directory, path, known)
                                        : Fail(ERROR_INVALID_PARAMETER);
  }
  if (known.valid && S_ISLNK(mode)) return Fail(ERROR_CANT_RESOLVE_FILENAME);
  if (known.valid && directory_only && !S_ISDIR(mode)) return Fail(ERROR_DIRECTORY);
  if (known.valid && !IsRegularOrDirectory(mode)) return FailAsSpecial();

  if (known.valid && S_ISREG(mode) && disposition == OPEN_EXISTING) {
    if (writing) {
      const int refusal = WriteRefusal(parent, path, known.sx);
      if (refusal != 0) return FailWithErrno(refusal);
    }
    auto* handle = static_cast<Handle*>(NewFileHandle(-1, known));
    handle->one_user = true;
    handle->reads_only = !writing;
    handle->deferred = true;
    handle->deferred_directory = directory;
    handle->deferred_parent = parent;
    handle->SetDeferredName(path);
    handle->deferred_flags = base_flags | (writing ? O_WRONLY : O_RDONLY);
    return handle;
  }

  int open_flags = base_flags;
  if (directory_only) {
    if (disposition != OPEN_EXISTING) return Fail(ERROR_INVALID_PARAMETER);
    const int fd = OpenForReading(directory, path.c_str(), open_flags | O_RDONLY | O_DIRECTORY);
    if (fd < 0 && errno == ENOTDIR && !known.valid) {
      // Not a directory: a link (never followed here) is told as one.
      Status found;
      const bool link = StatxAt(directory, path.c_str(), AT_SYMLINK_NOFOLLOW, &found) &&
                        S_ISLNK(found.sx.stx_mode) && no_follow;
      return Fail(link ? ERROR_CANT_RESOLVE_FILENAME : ERROR_DIRECTORY);
    }
    if (fd < 0)
      return errno == ENOTDIR ? Fail(ERROR_DIRECTORY) : FailWithErrno(errno, path_for_errors);
    Status status;
    if (!StatxAt(fd, "", AT_EMPTY_PATH, &status)) {
      const int error = errno;
      close(fd);
      return FailWithErrno(error);
    }
    if (!IsWhatWasLookedAt(known, status)) {
      close(fd);
      return Fail(ERROR_FILE_INVALID);
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
  if (S_ISDIR(status.sx.stx_mode) && known.valid && !IsWhatWasLookedAt(known, status)) {
    close(fd);
    return Fail(ERROR_FILE_INVALID);
  }
  const mode_t opened = status.sx.stx_mode;
  if (S_ISDIR(opened) && !backup) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED);
  }
  // The type may have changed between the look and the open.
  if (backup && !IsRegularOrDirectory(opened)) {
    close(fd);
    return FailAsSpecial();
  }
  if (!backup) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (writing || disposition == CREATE_ALWAYS) status.valid = false;  // it is to change
  return NewFileHandle(fd, status);
}

}  // namespace

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
  thread_local std::string t_path;  // no open made from here calls back in
  EncodeFileNameInto(name, &t_path);
  const std::string& path = t_path;
  // The listing followed a link it found: a node open looks for itself.
  Status listed;
  // A directory nothing was listed from (a destination's) has nothing to
  // look up.
  if (parent->listed_ever.load(std::memory_order_relaxed) != 0) {
    LockUnlessAlone lock(parent->guard);
    const size_t count = parent->listed.size();
    bool found = false;
    for (size_t back = 1; back <= count && !found; ++back) {
      const Handle::ListedEntry& entry =
          parent->listed[(parent->listed_next + count - back) % count];
      found = entry.name == path;
      if (found && !(entry.link && (flags & FILE_FLAG_OPEN_NODE))) listed = entry.status;
    }
    if (!found && parent->listed_ever > count) KeepMoreListed();
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
  if (made == INVALID_HANDLE_VALUE) {
    // Made but not opened (out of descriptors): an empty private directory
    // no run could finish is not left behind.
    const DWORD code = LastErrorCode();
    unlinkat(parent->fd, EncodeFileName(name).c_str(), AT_REMOVEDIR);
    SetLastErrorCode(code);
    return made;
  }
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

}  // namespace vx::posix
