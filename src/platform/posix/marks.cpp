// What the run learns and keeps about objects beyond their data: change
// times, times to the nanosecond, the way up a tree, and the marks it keeps
// in a destination directory's own extended attributes.
#include <sys/random.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "internal.h"

namespace vx::posix {

// Asked of every file a rerun skips: the status the handle holds is read in
// place rather than copied out, and without its guard, since a file's
// handle is used by one thread at a time.
BOOL GetChangeTime(HANDLE file, FILETIME* change) {
  if (Handle* handle = FromHandle(file)) {
    if (handle->status.valid && !S_ISDIR(handle->status.sx.stx_mode)) {
      *change = FileTimeFromStatx(handle->status.sx.stx_ctime);
      return 1;
    }
  }
  const struct statx* sx = StatusOf(file);
  if (sx == nullptr) return 0;
  *change = FileTimeFromStatx(sx->stx_ctime);
  return 1;
}

// The source's status is the one its information was taken from, so the
// times set are those the walk compared, with the digits FILETIME cuts.
BOOL CopyFileTimes(HANDLE source, HANDLE destination) {
  const struct statx* sx = StatusOf(source);
  if (sx == nullptr) return 0;
  struct timespec times[2];
  times[0] = {static_cast<time_t>(sx->stx_atime.tv_sec), static_cast<long>(sx->stx_atime.tv_nsec)};
  times[1] = {static_cast<time_t>(sx->stx_mtime.tv_sec), static_cast<long>(sx->stx_mtime.tv_nsec)};
  const int fd = DescriptorOf(destination);
  if (fd < 0) return 0;
  // A directory the rerun finds with these very times is left alone, as
  // SetFileTime leaves it.
  const Status& known = FromHandle(destination)->status;
  if (known.valid && S_ISDIR(known.sx.stx_mode) &&
      known.sx.stx_atime.tv_sec == times[0].tv_sec &&
      static_cast<long>(known.sx.stx_atime.tv_nsec) == times[0].tv_nsec &&
      known.sx.stx_mtime.tv_sec == times[1].tv_sec &&
      static_cast<long>(known.sx.stx_mtime.tv_nsec) == times[1].tv_nsec) {
    SetLastErrorCode(kAlreadyAsAsked);
    return 1;
  }
  ForgetStatus(destination);
  // A node's descriptor is O_PATH, which futimens refuses.
  const int result = FromHandle(destination)->node ? utimensat(fd, "", times, AT_EMPTY_PATH)
                                                   : futimens(fd, times);
  if (result != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

// ".." of the directory; "/" (whose ".." is itself) has none. Mount points
// are crossed, as the tree is seen from the process.
HANDLE OpenParentDirectory(HANDLE directory, DWORD) {
  const int fd = DescriptorOf(directory);
  const struct statx* own = fd < 0 ? nullptr : StatusOf(directory);
  if (own == nullptr) return INVALID_HANDLE_VALUE;
  const uint32_t dev_major = own->stx_dev_major;
  const uint32_t dev_minor = own->stx_dev_minor;
  const uint64_t ino = own->stx_ino;
  int parent;
  do {
    parent = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (parent < 0 && errno == EINTR);
  if (parent < 0) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  Status status;
  if (!StatxAt(parent, "", AT_EMPTY_PATH, &status) ||
      (status.sx.stx_ino == ino && status.sx.stx_dev_major == dev_major &&
       status.sx.stx_dev_minor == dev_minor)) {
    close(parent);
    SetLastErrorCode(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto* handle = NewHandle();
  handle->fd = parent;
  handle->status = status;
  return handle;
}

namespace {
std::string MarkAttribute(const char16_t* name) {
  return "trusted.velmox." + EncodeFileName(name);
}
}  // namespace

BOOL GetDirectoryMark(HANDLE directory, const char16_t* name, void* value, DWORD size,
                      DWORD* returned) {
  const int fd = DescriptorOf(directory);
  if (fd < 0) return 0;
  const ssize_t got = fgetxattr(fd, MarkAttribute(name).c_str(), value, size);
  if (got < 0) {
    SetLastErrorCode(errno == ENODATA ? ERROR_FILE_NOT_FOUND
                     : errno == ERANGE ? ERROR_MORE_DATA
                                       : Win32ErrorFromErrno(errno));
    return 0;
  }
  *returned = static_cast<DWORD>(got);
  return 1;
}

BOOL SetDirectoryMark(HANDLE directory, const char16_t* name, const void* value, DWORD size) {
  const int fd = DescriptorOf(directory);
  if (fd < 0) return 0;
  const std::string attribute = MarkAttribute(name);
  const int result = size == 0 ? fremovexattr(fd, attribute.c_str())
                               : fsetxattr(fd, attribute.c_str(), value, size, 0);
  // Nothing kept is nothing to remove.
  if (result != 0 && !(size == 0 && errno == ENODATA)) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  ForgetStatus(directory);
  return 1;
}

BOOL FlushFileBuffers(HANDLE file) {
  const int fd = DescriptorOf(file);
  if (fd < 0) return 0;
  if (fsync(fd) != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

BOOL FlushVolume(HANDLE object, BOOL probe_only) {
  const int fd = DescriptorOf(object);
  if (fd < 0) return 0;
  if (!probe_only && syncfs(fd) != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

BOOL GenerateRandom(void* buffer, DWORD size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = getrandom(bytes, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return 0;
    }
    bytes += got;
    size -= static_cast<DWORD>(got);
  }
  return 1;
}

BOOL IsOwnedByRunner(HANDLE object, BOOL* owned) {
  const struct statx* sx = StatusOf(object);
  if (sx == nullptr) return 0;
  *owned = sx->stx_uid == geteuid();
  return 1;
}

BOOL SameOwnerAndMode(HANDLE one, HANDLE other, BOOL* same) {
  const struct statx* first = StatusOf(one);
  if (first == nullptr) return 0;
  const uint32_t uid = first->stx_uid;
  const uint32_t gid = first->stx_gid;
  const uint16_t mode = first->stx_mode;
  const struct statx* second = StatusOf(other);
  if (second == nullptr) return 0;
  const uint16_t bits = S_ISLNK(mode) ? 0 : 07777;
  *same = uid == second->stx_uid && gid == second->stx_gid &&
          (mode & bits) == (second->stx_mode & bits);
  return 1;
}

BOOL SameWriteTime(HANDLE one, HANDLE other, BOOL* same) {
  const struct statx* first = StatusOf(one);
  if (first == nullptr) return 0;
  const struct statx_timestamp time = first->stx_mtime;
  const struct statx* second = StatusOf(other);
  if (second == nullptr) return 0;
  *same = time.tv_sec == second->stx_mtime.tv_sec && time.tv_nsec == second->stx_mtime.tv_nsec;
  return 1;
}

// The mode the run makes its directories with (CreateDirectoryAtW).
BOOL IsPrivateDirectory(HANDLE directory, BOOL* is_private) {
  const struct statx* sx = StatusOf(directory);
  if (sx == nullptr) return 0;
  *is_private = S_ISDIR(sx->stx_mode) && sx->stx_uid == geteuid() &&
                (sx->stx_mode & 07777) == kPrivateDirectoryMode;
  return 1;
}

BOOL ClearSetIdBits(HANDLE file) {
  const struct statx* sx = StatusOf(file);
  if (sx == nullptr) return 0;
  if ((sx->stx_mode & (S_ISUID | S_ISGID)) == 0) return 1;
  const mode_t mode = sx->stx_mode & 07777 & ~(S_ISUID | S_ISGID);
  const int fd = DescriptorOf(file);
  if (fd < 0) return 0;
  if (fchmod(fd, mode) != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  ForgetStatus(file);
  return 1;
}

BOOL MayFollowLink(HANDLE directory, const char16_t* name, HANDLE target, BOOL* may) {
  const int parent = DescriptorOf(directory);
  const struct statx* reached = parent >= 0 ? StatusOf(target) : nullptr;
  if (reached == nullptr) return 0;
  const uint64_t ino = reached->stx_ino;
  const uint32_t major = reached->stx_dev_major;
  const uint32_t minor = reached->stx_dev_minor;
  const uint32_t owner = reached->stx_uid;
  Status link;
  if (!StatxAt(parent, EncodeFileName(name).c_str(), AT_SYMLINK_NOFOLLOW, &link)) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  if (!S_ISLNK(link.sx.stx_mode)) {
    *may = link.sx.stx_ino == ino && link.sx.stx_dev_major == major &&
           link.sx.stx_dev_minor == minor;
    return 1;
  }
  *may = link.sx.stx_uid == 0 || link.sx.stx_uid == owner;
  return 1;
}

}  // namespace vx::posix
