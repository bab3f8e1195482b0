// The marks a destination directory keeps, listed, and the locks a run
// holds on its own: an open-file-description read lock on one byte of the
// directory, chosen by the mark's name, which the kernel lets go of when
// the process ends, however it ends.
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "internal.h"

namespace vx::posix {

namespace {

constexpr char kMarkPrefix[] = "trusted.velmox.";

// The byte a mark's lock covers: the name's FNV-1a hash, kept below the
// largest offset a lock may reach.
off_t LockedByteOf(const char16_t* name) {
  uint64_t hash = 14695981039346656037ull;
  for (const char byte : EncodeFileName(name)) {
    hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
  }
  return static_cast<off_t>(hash & ((uint64_t{1} << 62) - 1));
}

struct flock OneByte(const char16_t* name, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = LockedByteOf(name);
  lock.l_len = 1;
  return lock;
}

}  // namespace

BOOL ListDirectoryMarks(HANDLE directory, char16_t* names, DWORD size, DWORD* returned) {
  const int fd = DescriptorOf(directory);
  if (fd < 0) return 0;
  std::vector<char> all(4096);
  ssize_t got;
  while ((got = flistxattr(fd, all.data(), all.size())) < 0 && errno == ERANGE) {
    all.resize(all.size() * 2);
  }
  if (got < 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  std::u16string listed;
  for (size_t at = 0; at < static_cast<size_t>(got);) {
    const std::string attribute(all.data() + at);
    at += attribute.size() + 1;
    if (attribute.rfind(kMarkPrefix, 0) != 0) continue;
    listed += DecodeFileName(std::string_view(attribute).substr(sizeof kMarkPrefix - 1));
    listed += u'\0';
  }
  *returned = static_cast<DWORD>(listed.size());
  if (listed.size() > size) {
    SetLastErrorCode(ERROR_MORE_DATA);
    return 0;
  }
  std::char_traits<char16_t>::copy(names, listed.data(), listed.size());
  return 1;
}

// A descriptor of its own, so that the lock lives exactly as long as the
// handle returned (locks belong to the open file description).
HANDLE LockDirectoryMark(HANDLE directory, const char16_t* name) {
  const int fd = DescriptorOf(directory);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  const int own = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  struct flock lock = OneByte(name, F_RDLCK);
  if (fcntl(own, F_OFD_SETLK, &lock) != 0) {
    SetLastErrorFromErrno(errno);
    close(own);
    return INVALID_HANDLE_VALUE;
  }
  auto* handle = NewHandle();
  handle->fd = own;
  return handle;
}

// A write lock on the byte could not be had where any read lock is held.
BOOL IsDirectoryMarkLocked(HANDLE directory, const char16_t* name, BOOL* locked) {
  const int fd = DescriptorOf(directory);
  if (fd < 0) return 0;
  struct flock probe = OneByte(name, F_WRLCK);
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  *locked = probe.l_type != F_UNLCK;
  return 1;
}

}  // namespace vx::posix
