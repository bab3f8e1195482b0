// Temporary files, putting them at their names, further names and removal,
// on Linux.

#include "internal.h"

namespace vx::posix {

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
  handle->one_user = true;
  handle->made = true;
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
    if (parent->hard_links.load()) {
      if (linkat(parent->fd, from.c_str(), parent->fd, to.c_str(), 0) == 0) {
        unlinkat(parent->fd, from.c_str(), 0);
        return 1;
      }
      if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return fail(errno);
      parent->hard_links.store(false);
    }
    // Neither (exFAT through FUSE): the name is taken after a look finds it
    // free, which leaves a moment in which a file another writer makes at
    // that name would be replaced. Such volumes keep no owners either.
    struct stat taken;
    if (fstatat(parent->fd, to.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) return fail(EEXIST);
    if (errno != ENOENT) return fail(errno);
    if (renameat(parent->fd, from.c_str(), parent->fd, to.c_str()) != 0) return fail(errno);
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

// By names, relative to the two directories' descriptors: renameat2 never
// follows a link at either end. Where RENAME_NOREPLACE is refused, a taken
// name is looked for first.
BOOL MoveEntryAtW(HANDLE, HANDLE directory, const char16_t* name, HANDLE to_directory,
                  const char16_t* new_name) {
  Handle* from = DirectoryHandle(directory);
  Handle* to = DirectoryHandle(to_directory);
  if (from == nullptr || to == nullptr) return 0;
  const std::string old_name = EncodeFileName(name);
  const std::string moved_name = EncodeFileName(new_name);
  int done = renameat2(from->fd, old_name.c_str(), to->fd, moved_name.c_str(), RENAME_NOREPLACE);
  if (done != 0 && (errno == EINVAL || errno == ENOSYS)) {
    struct stat taken;
    if (fstatat(to->fd, moved_name.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) {
      errno = EEXIST;
    } else {
      done = renameat(from->fd, old_name.c_str(), to->fd, moved_name.c_str());
    }
  }
  if (done != 0) {
    SetLastErrorCode(errno == EEXIST || errno == ENOTEMPTY ? ERROR_ALREADY_EXISTS
                     : errno == EXDEV                      ? ERROR_NOT_SAME_DEVICE
                                                           : Win32ErrorFromErrno(errno));
    return 0;
  }
  ForgetStatus(directory);
  ForgetStatus(to_directory);
  return 1;
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

}  // namespace vx::posix
