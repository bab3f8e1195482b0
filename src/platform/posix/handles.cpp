// A handle's life on Linux: the memory it is made in, the open deferred
// until its descriptor is first needed (and the check on what that open
// reached), and the status it keeps, so that one object costs one stat.
#include <linux/magic.h>
#include <sys/statfs.h>

#include <new>

#include "internal.h"

namespace vx::posix {

namespace {

// The memory of handles this thread ended, kept for its next ones. Plain
// data, so that it is still there for a handle ended after the thread's
// objects were destroyed (then freed at once).
constexpr int kKeptHandles = 16;
struct KeptHandles {
  Handle* blocks[kKeptHandles];
  int count;
  bool ended;
};
thread_local KeptHandles t_kept;
// Frees what is kept when the thread ends.
struct KeptHandlesEnd {
  bool armed = false;
  ~KeptHandlesEnd() {
    while (t_kept.count > 0) ::operator delete(t_kept.blocks[--t_kept.count]);
    t_kept.ended = true;
  }
};
thread_local KeptHandlesEnd t_kept_end;

}  // namespace

Handle* NewHandle() {
  if (t_kept.count > 0) return new (t_kept.blocks[--t_kept.count]) Handle;
  return new Handle;
}

void EndHandle(Handle* handle) {
  if (t_kept.ended || t_kept.count == kKeptHandles) {
    delete handle;
    return;
  }
  t_kept_end.armed = true;  // its first use makes it, and so its end with the thread's
  handle->~Handle();
  t_kept.blocks[t_kept.count++] = handle;
}

HANDLE NewFileHandle(int fd, const Status& status) {
  auto* handle = NewHandle();
  handle->fd = fd;
  handle->status = status;
  return handle;
}

Handle* DirectoryHandle(HANDLE directory) {
  Handle* handle = FromHandle(directory);
  if (handle == nullptr || handle->fd < 0) SetLastErrorCode(ERROR_INVALID_HANDLE);
  return handle != nullptr && handle->fd >= 0 ? handle : nullptr;
}

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
  if (!IsWhatWasLookedAt(handle->status, opened)) return ERROR_FILE_INVALID;
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
  Handle* handle = FromHandle(file);
  if (handle == nullptr) return;
  if (handle->one_user) {
    handle->status.valid = false;
    handle->read_through = false;
    return;
  }
  std::lock_guard<std::mutex> lock(handle->guard);
  handle->status.valid = false;
  handle->read_through = false;
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
    const char* name = handle->DeferredName();
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

bool StatxAt(int directory, const char* name, int flags, Status* status, unsigned fields) {
  status->valid = statx(directory, name, flags | AT_STATX_SYNC_AS_STAT, fields, &status->sx) == 0;
  return status->valid;
}

namespace {

const struct statx* StatusTaken(HANDLE file, Handle* handle) {
  if (!handle->status.valid) {
    const int fd = DescriptorOf(file);
    if (fd < 0) return nullptr;
    const bool keep_access = handle->read_through;
    const struct statx_timestamp access =
        keep_access ? handle->status.sx.stx_atime : statx_timestamp{};
    handle->read_through = false;
    if (!StatxAt(fd, "", AT_EMPTY_PATH, &handle->status,
                 keep_access ? kStatusFields & ~STATX_ATIME : kStatusFields)) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
    if (keep_access) handle->status.sx.stx_atime = access;
  }
  return &handle->status.sx;
}

}  // namespace

const struct statx* StatusOf(HANDLE file) {
  Handle* handle = FromHandle(file);
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (handle->one_user) return StatusTaken(file, handle);
  // A directory's may be forgotten by another thread meanwhile: the
  // caller gets a copy of its own.
  thread_local struct statx copy;
  std::lock_guard<std::mutex> lock(handle->guard);
  const struct statx* status = StatusTaken(file, handle);
  if (status == nullptr) return nullptr;
  copy = *status;
  return &copy;
}

}  // namespace vx::posix
