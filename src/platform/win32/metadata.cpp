// Identities, attributes, names, marks, flushing, volume features and
// sparse ranges.
#include "internal.h"

namespace vx::win32 {

BOOL Win32GetFileIdInfo(HANDLE file, FILE_ID_INFO* info) {
  return ::GetFileInformationByHandleEx(file, FileIdInfo, info, sizeof *info);
}

DWORD Win32GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD units) {
  return ::GetFinalPathNameByHandleW(file, reinterpret_cast<wchar_t*>(path), units,
                                     FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
}

// OFFLINE is never carried: a copy holds its data here.
constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

BOOL Win32SameAttributes(HANDLE source, HANDLE destination, BOOL* same) {
  FILE_BASIC_INFO from = {};
  FILE_BASIC_INFO to = {};
  if (!::GetFileInformationByHandleEx(source, FileBasicInfo, &from, sizeof from) ||
      !::GetFileInformationByHandleEx(destination, FileBasicInfo, &to, sizeof to)) {
    return 0;
  }
  *same = (from.FileAttributes & kSettable) == (to.FileAttributes & kSettable);
  return 1;
}

// The attributes SetFileAttributes accepts are the source's; the others
// (directory, reparse point, sparse, compressed, ...) stay the
// destination's. Nothing is written where the attributes already match.
BOOL Win32CopyAttributes(HANDLE source, HANDLE destination) {
  FILE_BASIC_INFO from = {};
  FILE_BASIC_INFO to = {};
  if (!::GetFileInformationByHandleEx(source, FileBasicInfo, &from, sizeof from) ||
      !::GetFileInformationByHandleEx(destination, FileBasicInfo, &to, sizeof to)) {
    return 0;
  }
  const DWORD wanted = (to.FileAttributes & ~kSettable) | (from.FileAttributes & kSettable);
  return wanted == to.FileAttributes || SetAttributesOnly(destination, wanted);
}

// The invariant locale's simple upper-casing, one unit for one: what the
// case-insensitive ordinal comparison applies to each name before it
// compares them.
BOOL Win32UpcaseName(char16_t* name, DWORD units) {
  if (units == 0) return 1;
  std::u16string mapped(units, u'\0');
  const int made = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, Wide(name),
                                   static_cast<int>(units), reinterpret_cast<wchar_t*>(mapped.data()),
                                   static_cast<int>(units), nullptr, nullptr, 0);
  if (made != static_cast<int>(units)) return 0;
  std::memcpy(name, mapped.data(), units * sizeof(char16_t));
  return 1;
}

// FileCaseSensitiveInfo (23) and its flag, which older headers lack.
constexpr FILE_INFO_BY_HANDLE_CLASS kFileCaseSensitiveInfo =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(23);
constexpr ULONG kCaseSensitiveDirectory = 1;

// A system or file system that does not know the query keeps the volume's
// rule: names without case.
BOOL Win32IsCaseSensitiveDirectory(HANDLE directory, BOOL* sensitive) {
  ULONG flags = 0;
  *sensitive = ::GetFileInformationByHandleEx(directory, kFileCaseSensitiveInfo, &flags,
                                              sizeof flags) &&
               (flags & kCaseSensitiveDirectory) != 0;
  return 1;
}

BOOL Win32GetChangeTime(HANDLE file, FILETIME* change) {
  FILE_BASIC_INFO basic = {};
  if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) return 0;
  *change = FileTimeFromTicks(static_cast<uint64_t>(basic.ChangeTime.QuadPart));
  return 1;
}

// A directory's marks live in its named streams ":velmox.<name>", which
// nothing lists but a stream query.
std::u16string MarkStream(const char16_t* name) {
  return u":velmox." + std::u16string(name) + u":$DATA";
}

// A volume without named streams (FAT, some shares; Wine, which would make
// a file of that name instead) keeps no marks.
BOOL Win32GetVolumeFeatures(HANDLE object, DWORD* features) {
  ::DWORD flags = 0;
  if (!::GetVolumeInformationByHandleW(object, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return 0;
  }
  *features = flags;
  return 1;
}

bool HasNamedStreams(HANDLE object) {
  DWORD flags = 0;
  if (Win32GetVolumeFeatures(object, &flags) && (flags & FILE_NAMED_STREAMS) != 0) return true;
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

BOOL Win32GetDirectoryMark(HANDLE directory, const char16_t* name, void* value, DWORD size,
                           DWORD* returned) {
  if (!HasNamedStreams(directory)) return 0;
  const std::u16string stream = MarkStream(name);
  const NameBelow below(directory, stream.c_str());
  HANDLE opened = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status = OpenBelow(below, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, &opened,
                                    &outcome);
  if (status < 0) {
    FailWithStatus(status);
    if (::GetLastError() == ERROR_PATH_NOT_FOUND) ::SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  LARGE_INTEGER stream_size = {};
  ::DWORD got = 0;
  BOOL done = ::GetFileSizeEx(opened, &stream_size);
  if (done && stream_size.QuadPart > size) {
    ::SetLastError(ERROR_MORE_DATA);
    done = 0;
  }
  if (done) done = ::ReadFile(opened, value, static_cast<DWORD>(stream_size.QuadPart), &got, nullptr);
  const DWORD code = ::GetLastError();
  ::CloseHandle(opened);
  *returned = got;
  ::SetLastError(code);
  return done;
}

BOOL Win32SetDirectoryMark(HANDLE directory, const char16_t* name, const void* value, DWORD size) {
  if (!HasNamedStreams(directory)) return 0;
  const std::u16string stream = MarkStream(name);
  const NameBelow below(directory, stream.c_str());
  HANDLE opened = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status = OpenBelow(below, GENERIC_WRITE | DELETE, 0,
                                    size == 0 ? FILE_OPEN : FILE_OVERWRITE_IF,
                                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, &opened,
                                    &outcome);
  if (status < 0) {
    FailWithStatus(status);
    // Nothing kept is nothing to remove.
    return size == 0 && (::GetLastError() == ERROR_FILE_NOT_FOUND ||
                         ::GetLastError() == ERROR_PATH_NOT_FOUND);
  }
  ::DWORD written = 0;
  BOOL done = 1;
  if (size == 0) {
    FILE_DISPOSITION_INFO dispose = {TRUE};
    done = ::SetFileInformationByHandle(opened, FileDispositionInfo, &dispose, sizeof dispose);
  } else {
    done = ::WriteFile(opened, value, size, &written, nullptr) && written == size;
  }
  const DWORD code = ::GetLastError();
  ::CloseHandle(opened);
  ::SetLastError(code);
  return done;
}

// The names of the directory's ":velmox.<name>:$DATA" streams.
BOOL Win32ListDirectoryMarks(HANDLE directory, char16_t* names, DWORD size, DWORD* returned) {
  if (!HasNamedStreams(directory)) return 0;
  std::vector<unsigned char> records(64 * 1024);
  while (!::GetFileInformationByHandleEx(directory, FileStreamInfo, records.data(),
                                         static_cast<DWORD>(records.size()))) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_HANDLE_EOF) {  // no stream at all
      *returned = 0;
      return 1;
    }
    if (code != ERROR_MORE_DATA || records.size() >= (16u << 20)) return 0;
    records.resize(records.size() * 2);
  }
  constexpr std::u16string_view kHead = u":velmox.";
  constexpr std::u16string_view kTail = u":$DATA";
  std::u16string listed;
  for (const unsigned char* at = records.data();;) {
    const auto* record = reinterpret_cast<const FILE_STREAM_INFO*>(at);
    const std::u16string_view stream(reinterpret_cast<const char16_t*>(record->StreamName),
                                     record->StreamNameLength / sizeof(char16_t));
    if (stream.size() > kHead.size() + kTail.size() && stream.starts_with(kHead) &&
        stream.ends_with(kTail)) {
      listed += stream.substr(kHead.size(), stream.size() - kHead.size() - kTail.size());
      listed += u'\0';
    }
    if (record->NextEntryOffset == 0) break;
    at += record->NextEntryOffset;
  }
  *returned = static_cast<DWORD>(listed.size());
  if (listed.size() > size) {
    ::SetLastError(ERROR_MORE_DATA);
    return 0;
  }
  std::char_traits<char16_t>::copy(names, listed.data(), listed.size());
  return 1;
}

// The mark's stream held open, readable and writable by others but never
// deletable while the handle lives: the system closes it when the process
// ends, however it ends.
HANDLE Win32LockDirectoryMark(HANDLE directory, const char16_t* name) {
  if (!HasNamedStreams(directory)) return INVALID_HANDLE_VALUE;
  const std::u16string stream = MarkStream(name);
  const NameBelow below(directory, stream.c_str());
  HANDLE opened = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status =
      OpenBelow(below, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                FILE_NON_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, &opened, &outcome);
  if (status < 0) {
    FailWithStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  return opened;
}

// An open for delete fails with a sharing violation where a lock is held.
BOOL Win32IsDirectoryMarkLocked(HANDLE directory, const char16_t* name, BOOL* locked) {
  if (!HasNamedStreams(directory)) return 0;
  const std::u16string stream = MarkStream(name);
  const NameBelow below(directory, stream.c_str());
  HANDLE opened = nullptr;
  ULONG_PTR outcome = 0;
  const NTSTATUS status =
      OpenBelow(below, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                FILE_NON_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, &opened, &outcome);
  if (status < 0) {
    FailWithStatus(status);
    if (::GetLastError() != ERROR_SHARING_VIOLATION) return 0;
    *locked = 1;
    return 1;
  }
  ::CloseHandle(opened);
  *locked = 0;
  return 1;
}

BOOL Win32FlushFileBuffers(HANDLE file) {
  return ::FlushFileBuffers(file);
}

// The volume that holds `object`, opened for writing ("\\.\C:"), which
// needs administrative rights; a share has none to open, and some file
// systems refuse the flush.
namespace {

// The device path of the volume that holds `object`, from its final path
// in the form `volume_name` asks for; empty where that form names none.
std::wstring VolumeDeviceByName(HANDLE object, DWORD volume_name) {
  std::u16string path;
  if (!FinalPathOf(object, FILE_NAME_NORMALIZED | volume_name, &path)) return {};
  return VolumeDeviceFromFinalPath(
      std::wstring_view(reinterpret_cast<const wchar_t*>(path.data()), path.size()));
}

// The volume that holds `object`, as a device path to open: by its GUID
// path, which names the volume itself where it is mounted in a folder of
// another; where the system gives none, by the drive of its DOS path.
std::wstring VolumeDeviceOf(HANDLE object) {
  std::wstring device = VolumeDeviceByName(object, VOLUME_NAME_GUID);
  return device.empty() ? VolumeDeviceByName(object, VOLUME_NAME_DOS) : device;
}

}  // namespace

DWORD Win32GetVolumeName(HANDLE file, char16_t* name, DWORD units) {
  const std::wstring device = VolumeDeviceByName(file, VOLUME_NAME_GUID);
  if (device.rfind(L"\\\\?\\Volume{", 0) != 0) return 0;
  if (device.size() >= units) return static_cast<DWORD>(device.size() + 1);
  std::copy(device.begin(), device.end(), name);
  name[device.size()] = u'\0';
  return static_cast<DWORD>(device.size());
}

BOOL Win32FlushVolume(HANDLE object, BOOL probe_only) {
  const std::wstring volume = VolumeDeviceOf(object);
  if (volume.empty()) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  HANDLE opened = ::CreateFileW(volume.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return 0;
  // Whether a volume takes the flush is known only by trying it: a probe
  // flushes what is pending once.
  (void)probe_only;
  const BOOL flushed = ::FlushFileBuffers(opened);
  const DWORD code = ::GetLastError();
  ::CloseHandle(opened);
  ::SetLastError(code);
  return flushed;
}

BOOL Win32GetAllocatedRanges(HANDLE file, int64_t offset, int64_t length,
                             FILE_ALLOCATED_RANGE_BUFFER* ranges, DWORD count, DWORD* returned) {
  // A deduplicated or compressed file keeps its data behind the file
  // system's filter, not in ranges of its own: all of it is read.
  ReparseClass kind = ReparseClass::kLink;
  bool directory = false;
  if (ReparseClassOf(file, &kind, &directory) && kind == ReparseClass::kData) {
    *returned = 0;
    if (count == 0) {
      ::SetLastError(ERROR_MORE_DATA);
      return 0;
    }
    ranges[0].FileOffset = offset;
    ranges[0].Length = length;
    *returned = 1;
    return 1;
  }
  FILE_ALLOCATED_RANGE_BUFFER query = {offset, length};
  ::DWORD bytes = 0;
  const BOOL done = ::DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                                      ranges, count * sizeof *ranges, &bytes, nullptr);
  // ERROR_MORE_DATA still hands over the ranges that fit.
  *returned = bytes / sizeof *ranges;
  return done;
}

BOOL Win32SetSparse(HANDLE file) {
  ::DWORD unused = 0;
  return ::DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
}

BOOL Win32SetFilePointerEx(HANDLE file, int64_t offset, int64_t* position, DWORD method) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER reached;
  const BOOL done = ::SetFilePointerEx(file, distance, &reached, method);
  if (done && position != nullptr) *position = reached.QuadPart;
  return done;
}

BOOL Win32SetEndOfFile(HANDLE file) {
  return ::SetEndOfFile(file);
}

}  // namespace vx::win32
