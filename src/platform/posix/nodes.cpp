// Links and special files on Linux, read and made as nodes, never followed.
#include <sys/sysmacros.h>

#include "internal.h"

namespace vx::posix {

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
