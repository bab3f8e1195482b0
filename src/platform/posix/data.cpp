// Reading and writing a file's data on Linux, and the kernel copy.
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <atomic>

#include "internal.h"

namespace vx::posix {

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

// Once a file has been read up to the size its status gave (or to its end)
// the status is looked at anew when next asked, so the caller sees whether
// the file changed while it was read, without a read that finds the end.
void Advance(HANDLE file, uint64_t moved) {
  Handle* handle = FromHandle(file);
  if (handle == nullptr) return;
  handle->read_position += moved;
  if (handle->status.valid &&
      (moved == 0 || handle->read_position >= handle->status.sx.stx_size)) {
    handle->status.valid = false;
    handle->read_through = true;
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
// tree on a file system without them asks once, not for every file. Workers
// read and write it at once: each half is atomic, and a pair read half old
// costs at most one more refused clone.
std::atomic<dev_t> g_unclonable_source{0};
std::atomic<dev_t> g_unclonable_destination{0};

dev_t DeviceOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_dev : 0;
}

bool MayClone(const struct statx& source, int destination) {
  const dev_t device = makedev(source.stx_dev_major, source.stx_dev_minor);
  return !(device == g_unclonable_source.load(std::memory_order_relaxed) &&
           DeviceOf(destination) == g_unclonable_destination.load(std::memory_order_relaxed));
}

void CannotClone(const struct statx& source, int destination) {
  if (errno != EOPNOTSUPP && errno != EXDEV && errno != EINVAL && errno != ENOTTY) return;
  g_unclonable_source.store(makedev(source.stx_dev_major, source.stx_dev_minor),
                            std::memory_order_relaxed);
  g_unclonable_destination.store(DeviceOf(destination), std::memory_order_relaxed);
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

}  // namespace vx::posix
