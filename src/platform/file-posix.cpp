// Files, directories, times, memory and standard output on Linux.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "posix_internal.h"

namespace vx::posix {
namespace {

HANDLE NewFileHandle(int fd) {
  auto* handle = new Handle;
  handle->fd = fd;
  return handle;
}

int OpenRetryingIntr(int directory, const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = openat(directory, path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool IsRegularOrDirectory(mode_t mode) {
  return S_ISREG(mode) || S_ISDIR(mode);
}

// Opens `path` (relative to `directory`, or AT_FDCWD) the way CreateFileW
// would with these arguments:
// - every open is close-on-exec and made with O_NONBLOCK, so no open waits;
// - with backup semantics only regular files and directories are taken, and
//   the type is judged before the open: opening a FIFO, socket or device can
//   itself act (a tape rewinds, a watchdog arms), so those fail with
//   ERROR_INVALID_FUNCTION unopened. O_NONBLOCK then stays on, so a read
//   that would block (a procfs file such as /proc/kmsg) fails instead;
// - without backup semantics (the log files) any object but a directory is
//   an ordinary output (a FIFO with a reader, /dev/null, a terminal), and
//   its writes block as usual;
// - FILE_FLAG_OPEN_REPARSE_POINT never follows a symbolic link at `path`:
//   the open fails with ERROR_CANT_RESOLVE_FILENAME;
// - a read-only open asks for O_NOATIME, so a backup leaves access times be;
// - a directory opened for writing with backup semantics is opened as a
//   directory, as Windows does.
HANDLE OpenLikeCreateFile(int directory, const std::string& path, DWORD access, DWORD disposition,
                          DWORD flags) {
  const bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  const bool no_follow = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  const bool writing = (access & GENERIC_WRITE) != 0;
  // ERROR_PATH_NOT_FOUND is told apart by looking at the path's parent,
  // which a relative open already holds open.
  const std::string& path_for_errors = directory == AT_FDCWD ? path : std::string();
  if (disposition != OPEN_EXISTING && disposition != CREATE_ALWAYS) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (backup && fstatat(directory, path.c_str(), &st, no_follow ? AT_SYMLINK_NOFOLLOW : 0) == 0) {
    if (S_ISLNK(st.st_mode)) {
      SetLastErrorCode(ERROR_CANT_RESOLVE_FILENAME);
      return INVALID_HANDLE_VALUE;
    }
    if (!IsRegularOrDirectory(st.st_mode)) {
      SetLastErrorCode(ERROR_INVALID_FUNCTION);
      return INVALID_HANDLE_VALUE;
    }
  }
  int open_flags = O_CLOEXEC | O_NONBLOCK | (no_follow ? O_NOFOLLOW : 0);
  open_flags |= writing ? O_WRONLY : O_RDONLY;
  if (disposition == CREATE_ALWAYS) open_flags |= O_CREAT | O_TRUNC;

  int fd;
  if (!writing) {
    fd = OpenRetryingIntr(directory, path.c_str(), open_flags | O_NOATIME, 0);
    if (fd < 0 && errno == EPERM) fd = OpenRetryingIntr(directory, path.c_str(), open_flags, 0);
  } else {
    fd = OpenRetryingIntr(directory, path.c_str(), open_flags, 0666);
    if (fd < 0 && errno == EISDIR && backup && disposition == OPEN_EXISTING) {
      fd = OpenRetryingIntr(directory, path.c_str(),
                            O_CLOEXEC | O_RDONLY | O_DIRECTORY | (no_follow ? O_NOFOLLOW : 0), 0);
    }
  }
  if (fd < 0) {
    SetLastErrorFromErrno(errno, path_for_errors);
    return INVALID_HANDLE_VALUE;
  }
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    SetLastErrorFromErrno(error);
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(st.st_mode) && !backup) {
    close(fd);
    SetLastErrorCode(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // The type may have changed between the look and the open.
  if (backup && !IsRegularOrDirectory(st.st_mode)) {
    close(fd);
    SetLastErrorCode(ERROR_INVALID_FUNCTION);
    return INVALID_HANDLE_VALUE;
  }
  if (!backup) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return NewFileHandle(fd);
}

}  // namespace

Handle* FromHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  return static_cast<Handle*>(handle);
}

FILETIME FileTimeFromTimespec(const struct timespec& time) {
  return FileTimeFromTicks(static_cast<uint64_t>(
      kUnixEpochAsFileTime + int64_t{time.tv_sec} * kFileTimeTicksPerSecond + time.tv_nsec / 100));
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

FILETIME CreationTimeOf(int fd, const struct stat& st) {
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
    struct timespec birth = {static_cast<time_t>(sx.stx_btime.tv_sec),
                             static_cast<long>(sx.stx_btime.tv_nsec)};
    return FileTimeFromTimespec(birth);
  }
  return FileTimeFromTimespec(st.st_ctim);
}

HANDLE CreateFileW(const char16_t* name, DWORD access, DWORD, void*, DWORD disposition, DWORD flags,
                   HANDLE) {
  return OpenLikeCreateFile(AT_FDCWD, EncodeFileName(name), access, disposition, flags);
}

BOOL CreateDirectoryW(const char16_t* name, void*) {
  std::string path = EncodeFileName(name);
  if (mkdir(path.c_str(), 0777) != 0) {
    SetLastErrorFromErrno(errno, path);
    return 0;
  }
  return 1;
}

namespace {
// The descriptor of an open directory handle, or -1 with ERROR_INVALID_HANDLE.
int DirectoryFd(HANDLE directory) {
  Handle* handle = FromHandle(directory);
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  return handle->fd;
}
}  // namespace

HANDLE CreateFileAtW(HANDLE directory, const char16_t* name, DWORD access, DWORD, DWORD disposition,
                     DWORD flags) {
  const int fd = DirectoryFd(directory);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  return OpenLikeCreateFile(fd, EncodeFileName(name), access, disposition, flags);
}

// mkdirat never follows a link at the name: an existing one is EEXIST.
BOOL CreateDirectoryAtW(HANDLE directory, const char16_t* name) {
  const int fd = DirectoryFd(directory);
  if (fd < 0) return 0;
  if (mkdirat(fd, EncodeFileName(name).c_str(), 0777) != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

namespace {
// One read or write on the handle's descriptor, retried when a signal
// interrupts it; the count moved goes to *moved.
template <typename Transfer>
BOOL TransferOnce(HANDLE file, DWORD* moved, Transfer transfer) {
  Handle* handle = FromHandle(file);
  *moved = 0;
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return 0;
  }
  ssize_t n;
  do {
    n = transfer(handle->fd);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  *moved = static_cast<DWORD>(n);
  return 1;
}
}  // namespace

BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read_count, void*) {
  return TransferOnce(file, read_count, [&](int fd) { return read(fd, buffer, to_read); });
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written, void*) {
  return TransferOnce(file, written, [&](int fd) { return write(fd, buffer, to_write); });
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  Handle* handle = FromHandle(file);
  struct stat st;
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (fstat(handle->fd, &st) != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  *info = {};
  info->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  info->ftCreationTime = CreationTimeOf(handle->fd, st);
  info->ftLastAccessTime = FileTimeFromTimespec(st.st_atim);
  info->ftLastWriteTime = FileTimeFromTimespec(st.st_mtim);
  // The kernel's own device numbers have 12 bits of major and 20 of minor,
  // so this packing keeps every bit that tells two devices apart.
  info->dwVolumeSerialNumber =
      static_cast<DWORD>((major(st.st_dev) & 0xFFF) << 20 | (minor(st.st_dev) & 0xFFFFF));
  info->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
  info->nFileSizeLow = static_cast<DWORD>(st.st_size);
  info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info->nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
  info->nFileIndexLow = static_cast<DWORD>(st.st_ino);
  return 1;
}

// Linux keeps no settable creation time: only access and write times are set.
BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* access, const FILETIME* write) {
  Handle* handle = FromHandle(file);
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return 0;
  }
  struct timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_nsec = UTIME_OMIT;
  if (access != nullptr) times[0] = TimespecFromFileTime(*access);
  if (write != nullptr) times[1] = TimespecFromFileTime(*write);
  if (futimens(handle->fd, times) != 0) {
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
  // Standard output is the only stream the program asks for; the handle does
  // not own the descriptor, so closing it leaves fd 1 alone.
  static Handle standard_output = {Handle::Kind::kFile, STDOUT_FILENO, false, {}, 0, 0};
  if (which != STD_OUTPUT_HANDLE) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return &standard_output;
}

DWORD GetFileType(HANDLE file) {
  Handle* handle = FromHandle(file);
  struct stat st;
  if (handle == nullptr || fstat(handle->fd, &st) != 0) return 0;
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_DISK;
}

}  // namespace vx::posix
