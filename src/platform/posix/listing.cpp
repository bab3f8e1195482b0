// NtQueryDirectoryFile on Linux: one FILE_DIRECTORY_INFORMATION record per
// call, served from a getdents64 buffer kept on the directory handle, so the
// kernel hands over many entries per system call.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "entry_looks.h"
#include "internal.h"

namespace vx::posix {
namespace {

// A directory's listing buffer starts small and grows while its reads fill
// it: a deep tree keeps one per level open, a wide directory soon reads
// many entries a call.
constexpr size_t kFirstEntriesBufferBytes = 4096;
constexpr size_t kEntriesBufferBytes = 32768;
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

struct LinuxDirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

// The listing's answer: one record of `bytes` in the buffer.
NTSTATUS OneRecord(IO_STATUS_BLOCK* io_status, size_t bytes) {
  if (io_status != nullptr) {
    io_status->Status = STATUS_SUCCESS;
    io_status->Information = bytes;
  }
  return STATUS_SUCCESS;
}

bool IsSelfOrParent(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Learned once for the run: the opens of one directory trail its listing
// alike wherever it is read ahead.
constexpr size_t kFirstListedKept = 64;
constexpr size_t kMostListedKept = 1024;
std::atomic<size_t> g_listed_kept{kFirstListedKept};
// Files waiting for workers trail the listing by up to a few batches a
// copier (three of 64 files): a run with several keeps that many from its
// start, as an entry dropped before an open misses it is looked at again.
constexpr size_t kListedPerCopier = 192;

// Where looks are slow the walk reads listings far ahead of the opens that
// follow them: the most are kept from the start, not learnt miss by miss.
void KeepMostListed() {
  g_listed_kept.store(kMostListedKept, std::memory_order_relaxed);
}

// Looks taken at once: the next entries of the buffer from `from` on,
// besides "." and "..".
constexpr size_t kLooksAtOnce = 64;

void LookAhead(Handle* handle, size_t from) {
  handle->looked_ahead.clear();
  handle->looked_next = 0;
  for (size_t pos = from;
       pos < handle->entry_end && handle->looked_ahead.size() < kLooksAtOnce;) {
    const auto* entry = reinterpret_cast<const LinuxDirent64*>(handle->entries.get() + pos);
    if (!IsSelfOrParent(entry->d_name)) {
      EntryLook& look = handle->looked_ahead.emplace_back();
      look.name = entry->d_name;
      look.type = entry->d_type;
      look.offset = pos;
    }
    pos += entry->d_reclen;
  }
  LookAtAll(handle->fd, handle->looked_ahead.data(), handle->looked_ahead.size());
}

// The look at the entry at the buffer's current position: taken with the
// next ones at once where looks in this directory are slow, else alone
// (timed until the device is judged).
void TakeLook(Handle* handle, const LinuxDirent64* entry, size_t offset, EntryLook* look) {
  if (handle->looks_slow == -1) {
    handle->looks_slow = handle->status.valid ? JudgedLooks(handle->status) : 0;
    if (handle->looks_slow == 1) KeepMostListed();
  }
  if (handle->looks_slow == 1) {
    if (handle->looked_next >= handle->looked_ahead.size() ||
        handle->looked_ahead[handle->looked_next].offset != offset) {
      LookAhead(handle, offset);
    }
    *look = handle->looked_ahead[handle->looked_next++];
    return;
  }
  look->name = entry->d_name;
  look->type = entry->d_type;
  if (handle->looks_slow == 0) {
    LookAtEntry(handle->fd, look);
    return;
  }
  const auto started = std::chrono::steady_clock::now();
  LookAtEntry(handle->fd, look);
  handle->looks_slow =
      NoteLookTime(handle->status, std::chrono::steady_clock::now() - started);
  if (handle->looks_slow == 1) KeepMostListed();
}

}  // namespace

void KeepListedFor(size_t copiers) {
  g_listed_kept.store(
      copiers > 1 ? std::min(kListedPerCopier * copiers, kMostListedKept) : kFirstListedKept,
      std::memory_order_relaxed);
}

size_t ListedKept() {
  return g_listed_kept.load(std::memory_order_relaxed);
}

void KeepMoreListed() {
  size_t kept = g_listed_kept.load(std::memory_order_relaxed);
  while (kept < kMostListedKept &&
         !g_listed_kept.compare_exchange_weak(kept, std::min(2 * kept, kMostListedKept))) {
  }
}

NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE, void*, void*, IO_STATUS_BLOCK* io_status,
                              void* buffer, ULONG length, int information_class,
                              BOOLEAN return_single_entry, void* file_name, BOOLEAN restart_scan) {
  // The walk asks for exactly these forms; anything else is not served.
  const bool names_only = information_class == FileNamesInformation;
  if ((information_class != FileDirectoryInformation && !names_only) || !return_single_entry ||
      file_name != nullptr) {
    return kStatusInvalidParameter;
  }
  Handle* handle = FromHandle(file);
  if (handle == nullptr) return kStatusInvalidHandle;

  // A descriptor not listed yet is at the start already.
  if (restart_scan && handle->listing_started) {
    if (lseek(handle->fd, 0, SEEK_SET) < 0) return NtStatusFromErrno(errno);
    handle->entry_pos = handle->entry_end = 0;
    handle->looked_ahead.clear();
  }
  handle->listing_started = true;
  if (handle->entry_pos >= handle->entry_end) {
    // Not cleared: the kernel fills what it hands over.
    size_t size = handle->entries_size;
    if (size == 0) {
      size = kFirstEntriesBufferBytes;
    } else if (handle->entry_end > size / 2 && size < kEntriesBufferBytes) {
      size = std::min(size * 4, kEntriesBufferBytes);
    }
    if (size != handle->entries_size) {
      handle->entries.reset(new char[size]);
      handle->entries_size = size;
    }
    long n = syscall(SYS_getdents64, handle->fd, handle->entries.get(), size);
    if (n < 0) {
      if (errno == ENOTDIR) return static_cast<NTSTATUS>(0xC0000103);  // not a directory
      return NtStatusFromErrno(errno);
    }
    // Looks taken ahead name entries of the buffer just overwritten.
    handle->looked_ahead.clear();
    if (n == 0) return STATUS_NO_MORE_FILES;
    handle->entry_pos = 0;
    handle->entry_end = static_cast<size_t>(n);
  }

  const auto* entry =
      reinterpret_cast<const LinuxDirent64*>(handle->entries.get() + handle->entry_pos);
  thread_local std::u16string t_name;  // its room kept from entry to entry
  DecodeFileNameInto(entry->d_name, &t_name);
  const std::u16string& name = t_name;
  // Names alone cost no look at the entries.
  if (names_only) {
    const size_t names_bytes =
        offsetof(FILE_NAMES_INFORMATION, FileName) + name.size() * sizeof(char16_t);
    if (names_bytes > length) return kStatusBufferTooSmall;
    handle->entry_pos += entry->d_reclen;
    auto* record = static_cast<FILE_NAMES_INFORMATION*>(buffer);
    record->NextEntryOffset = 0;
    record->FileIndex = static_cast<ULONG>(entry->d_ino);
    record->FileNameLength = static_cast<ULONG>(name.size() * sizeof(char16_t));
    std::memcpy(record->FileName, name.data(), name.size() * sizeof(char16_t));
    return OneRecord(io_status, names_bytes);
  }
  const size_t record_bytes =
      offsetof(FILE_DIRECTORY_INFORMATION, FileName) + name.size() * sizeof(char16_t);
  if (record_bytes > length) return kStatusBufferTooSmall;
  const size_t offset = handle->entry_pos;
  handle->entry_pos += entry->d_reclen;

  auto* record = static_cast<FILE_DIRECTORY_INFORMATION*>(buffer);
  std::memset(record, 0, offsetof(FILE_DIRECTORY_INFORMATION, FileName));
  record->FileIndex = static_cast<ULONG>(entry->d_ino);

  // "." and ".." are the directory and its parent: directories, which the
  // walk passes over without a look at their times. The status is kept for
  // the open of this entry that follows.
  const bool self_or_parent = IsSelfOrParent(entry->d_name);
  EntryLook look;
  if (!self_or_parent) TakeLook(handle, entry, offset, &look);
  Status& status = look.status;
  const bool is_link = look.is_link;
  const bool have_status = look.have_status;
  if (!self_or_parent) {
    // Workers opening entries of this directory read these.
    LockUnlessAlone lock(handle->guard);
    std::vector<Handle::ListedEntry>& kept = handle->listed;
    ++handle->listed_ever;
    if (kept.size() < ListedKept()) {
      // Grown since it was full: the oldest first again, then the rest.
      if (handle->listed_next != 0) {
        std::rotate(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(handle->listed_next),
                    kept.end());
        handle->listed_next = 0;
      }
      if (kept.size() == kept.capacity()) {
        kept.reserve(std::min(2 * kept.size() + 64, ListedKept()));
      }
      kept.push_back(Handle::ListedEntry{entry->d_name, status, is_link});
    } else {
      // In place: the name keeps its room.
      Handle::ListedEntry& oldest = kept[handle->listed_next];
      oldest.name.assign(entry->d_name);
      oldest.status = status;
      oldest.link = is_link;
      handle->listed_next = (handle->listed_next + 1) % kept.size();
    }
  }
  bool is_directory = self_or_parent || entry->d_type == DT_DIR;
  if (have_status) {
    const struct statx& sx = status.sx;
    is_directory = S_ISDIR(sx.stx_mode);
    record->CreationTime = static_cast<int64_t>(FileTimeTicks(FileTimeFromStatx(sx.stx_ctime)));
    record->LastAccessTime = static_cast<int64_t>(FileTimeTicks(FileTimeFromStatx(sx.stx_atime)));
    record->LastWriteTime = static_cast<int64_t>(FileTimeTicks(FileTimeFromStatx(sx.stx_mtime)));
    record->ChangeTime = record->CreationTime;
    if (!is_directory) {
      record->EndOfFile = static_cast<int64_t>(sx.stx_size);
      record->AllocationSize = static_cast<int64_t>(sx.stx_blocks * 512);
    }
  }
  // A FIFO, socket or device itself (not through a link) is marked.
  const bool is_special = have_status && !is_link && !is_directory && !S_ISREG(status.sx.stx_mode);
  record->FileAttributes = (is_directory ? FILE_ATTRIBUTE_DIRECTORY : 0) |
                           (is_link ? FILE_ATTRIBUTE_REPARSE_POINT : 0) |
                           (is_special ? FILE_ATTRIBUTE_DEVICE : 0);
  if (record->FileAttributes == 0) record->FileAttributes = FILE_ATTRIBUTE_NORMAL;
  record->FileNameLength = static_cast<ULONG>(name.size() * sizeof(char16_t));
  std::memcpy(record->FileName, name.data(), name.size() * sizeof(char16_t));
  return OneRecord(io_status, record_bytes);
}

}  // namespace vx::posix
