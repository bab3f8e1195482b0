// Handles, memory, the clock, standard streams and the process's umask, on
// Linux.
#include <sys/ioctl.h>
#include <ctime>
#include <sys/mman.h>

#include "entry_looks.h"
#include "internal.h"

namespace vx::posix {

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

BOOL CloseHandle(HANDLE object) {
  Handle* handle = FromHandle(object);
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return 0;
  }
  int result = 0;
  if (handle->fd >= 0 && handle->owns_fd &&
      !(handle->reads_only && !handle->node && CloseLater(handle->fd, handle->status))) {
    result = close(handle->fd);
  }
  int error = errno;
  if (handle->owns_fd) EndHandle(handle);
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
  // Its pages come on first touch, as a commit's do on Windows: the buffer
  // of a worker that never starts (a rerun with nothing to copy) costs no
  // page at all.
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
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

BOOL GetLocalTimeOffset(const FILETIME* utc, LONG* minutes) {
  const uint64_t ticks = (static_cast<uint64_t>(utc->dwHighDateTime) << 32) | utc->dwLowDateTime;
  constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;
  const time_t seconds = static_cast<time_t>((ticks - kUnixEpochTicks) / 10000000);
  struct tm local;
  if (ticks < kUnixEpochTicks || localtime_r(&seconds, &local) == nullptr) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return 0;
  }
  *minutes = static_cast<LONG>(local.tm_gmtoff / 60);
  return 1;
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

}  // namespace vx::posix
