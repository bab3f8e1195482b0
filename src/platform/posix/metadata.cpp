// Times and the status a handle holds, on Linux.

#include "internal.h"

namespace vx::posix {

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

}  // namespace vx::posix
