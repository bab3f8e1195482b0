#include "fault_injection.h"

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace vx::testing {

namespace {

FaultInjector* g_injector = nullptr;

FaultInjector& I() {
  return *g_injector;
}
const Platform& Real() {
  return g_injector->real();
}

HANDLE WrapCreateFileW(const char16_t* name, DWORD access, DWORD share, void* security,
                       DWORD disposition, DWORD flags, HANDLE template_file) {
  I().Asked(access);
  if (const Fault* fault = I().Hit(Call::kCreateFileW, name)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle =
      Real().CreateFileW(name, access, share, security, disposition, flags, template_file);
  if (handle != INVALID_HANDLE_VALUE) {
    const DWORD error = Real().GetLastError();  // CREATE_ALWAYS may leave 183 on success
    I().Opened(handle, name);
    Real().SetLastError(error);
  }
  return handle;
}

// A relative open or create is faulted and accounted as its full-path form,
// so a fault names the object by the same path fragment either way.
std::u16string PathBelow(HANDLE directory, const char16_t* name) {
  std::u16string path = I().PathOf(directory);
  if (path.empty() || path.back() != kPathSeparator) path += kPathSeparator;  // not after a volume's root
  return path + name;
}

// Under CaseInsensitiveBelow, the name in `directory` that differs from
// `name` in ASCII case only; empty where there is none.
std::u16string OtherCaseOf(HANDLE directory, const char16_t* name) {
  const std::u16string& below = I().CaseInsensitivePath();
  const std::u16string directory_path = I().PathOf(directory);
  if (below.empty() || directory_path.find(below) == std::u16string::npos) return {};
  auto folded = [](std::u16string text) {
    for (char16_t& unit : text) {
      if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit + 0x20);
    }
    return text;
  };
  const std::u16string wanted = folded(name);
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(directory_path), error)) {
    const std::u16string found = entry.path().filename().u16string();
    if (found != name && folded(found) == wanted) return found;
  }
  return {};
}

HANDLE WrapCreateFileAtW(HANDLE directory, const char16_t* name, DWORD access, DWORD share,
                         DWORD disposition, DWORD flags) {
  const std::u16string path = PathBelow(directory, name);
  I().Asked(access);
  if (const Fault* fault = I().Hit(Call::kCreateFileW, path)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = Real().CreateFileAtW(directory, name, access, share, disposition, flags);
  if (handle == INVALID_HANDLE_VALUE && disposition == OPEN_EXISTING) {
    const DWORD error = Real().GetLastError();
    const std::u16string other = OtherCaseOf(directory, name);
    if (!other.empty()) {
      handle = Real().CreateFileAtW(directory, other.c_str(), access, share, disposition, flags);
    } else {
      Real().SetLastError(error);
    }
  }
  if (handle != INVALID_HANDLE_VALUE) {
    const DWORD error = Real().GetLastError();
    I().Opened(handle, path);
    Real().SetLastError(error);
  }
  return handle;
}

HANDLE WrapCreateTemporaryFileAtW(HANDLE directory, const char16_t* name, DWORD access) {
  const std::u16string path = PathBelow(directory, name);
  I().Asked(access);
  if (const Fault* fault = I().Hit(Call::kCreateFileW, path)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = Real().CreateTemporaryFileAtW(directory, name, access);
  if (handle != INVALID_HANDLE_VALUE) I().Opened(handle, path);
  return handle;
}

// The stand-in raw copy: a new temporary file with the source's bytes
// inverted, read from its start (the walk has read none of it).
HANDLE StandInEncryptedCopy(HANDLE source, HANDLE directory, const char16_t* name,
                            DWORD access) {
  HANDLE made = Real().CreateTemporaryFileAtW(directory, name, access);
  if (made == INVALID_HANDLE_VALUE) return made;
  unsigned char buffer[65536];
  DWORD read = 0;
  while (Real().ReadFile(source, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    for (DWORD i = 0; i < read; ++i) buffer[i] = static_cast<unsigned char>(~buffer[i]);
    DWORD written = 0;
    Real().WriteFile(made, buffer, read, &written, nullptr);
  }
  return made;
}

HANDLE WrapCreateEncryptedCopyAtW(HANDLE source, HANDLE directory, const char16_t* name,
                                  DWORD access) {
  const std::u16string path = PathBelow(directory, name);
  if (const Fault* fault = I().Hit(Call::kCreateEncryptedCopyW, path)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = !I().EncryptedPath().empty()
                      ? StandInEncryptedCopy(source, directory, name, access)
                      : Real().CreateEncryptedCopyAtW(source, directory, name, access);
  if (handle != INVALID_HANDLE_VALUE) I().Opened(handle, path);
  return handle;
}

BOOL WrapGetVolumeFeatures(HANDLE object, DWORD* features) {
  if (const Fault* fault = I().Hit(Call::kGetVolumeFeatures, I().PathOf(object))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (I().VolumeFeaturesStandIn(features)) return 1;
  *features = ~DWORD{0};
  if (Real().GetVolumeFeatures != nullptr && !Real().GetVolumeFeatures(object, features)) return 0;
  // Stand-in streams and sparse files are kept where the volume itself
  // keeps none (Wine).
  if (!I().StandInStreamList().empty()) *features |= FILE_NAMED_STREAMS;
  if (I().StandsInSparseFiles()) *features |= FILE_SUPPORTS_SPARSE_FILES;
  return 1;
}

BOOL WrapGetTerminalColumns(HANDLE console, DWORD* columns) {
  if (const Fault* fault = I().Hit(Call::kGetTerminalColumns, u"")) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().GetTerminalColumns(console, columns);
}

BOOL WrapMoveFileAtW(HANDLE file, HANDLE directory, const char16_t* name, const char16_t* new_name,
                     BOOL replace) {
  if (const Fault* fault = I().Hit(Call::kMoveFileW, PathBelow(directory, new_name))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().MoveFileAtW(file, directory, name, new_name, replace);
}

BOOL WrapDeleteFileAtW(HANDLE directory, const char16_t* name) {
  if (const Fault* fault = I().Hit(Call::kDeleteFileW, PathBelow(directory, name))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().DeleteFileAtW(directory, name);
}

BOOL WrapApplyInheritedSecurity(HANDLE object, HANDLE directory, HANDLE like) {
  if (const Fault* fault = I().Hit(Call::kApplyInheritedSecurity, I().PathOf(object))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().ApplyInheritedSecurity(object, directory, like);
}

HANDLE WrapCreateDirectoryAtW(HANDLE directory, const char16_t* name, DWORD access) {
  const std::u16string path = PathBelow(directory, name);
  I().Asked(access);
  if (const Fault* fault = I().Hit(Call::kCreateDirectoryW, path)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  if (!OtherCaseOf(directory, name).empty()) {
    Real().SetLastError(ERROR_ALREADY_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE made = Real().CreateDirectoryAtW(directory, name, access);
  if (made != INVALID_HANDLE_VALUE) I().Opened(made, path);
  return made;
}

BOOL WrapCreateDirectoryW(const char16_t* name, void* security) {
  if (const Fault* fault = I().Hit(Call::kCreateDirectoryW, name)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().CreateDirectoryW(name, security);
}

BOOL WrapReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read, void* overlapped) {
  if (const Fault* fault = I().Hit(Call::kReadFile, I().PathOf(file))) {
    if (fault->kind == Fault::Kind::kShortRead) {
      return Real().ReadFile(file, buffer, std::min(to_read, fault->bytes), read, overlapped);
    }
    *read = 0;
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().ReadFile(file, buffer, to_read, read, overlapped);
}

BOOL WrapWriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                   void* overlapped) {
  if (const Fault* fault = I().Hit(Call::kWriteFile, I().PathOf(file))) {
    if (fault->kind == Fault::Kind::kShortWrite) {
      return Real().WriteFile(file, buffer, std::min(to_write, fault->bytes), written, overlapped);
    }
    *written = 0;
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().WriteFile(file, buffer, to_write, written, overlapped);
}

// The object at the snapshot's live counterpart of `file`, open for its
// identity; INVALID_HANDLE_VALUE where `file` is not in the snapshot.
HANDLE OpenLiveCounterpart(HANDLE file) {
  const std::u16string live = I().LiveCounterpartOf(I().PathOf(file));
  if (live.empty()) return INVALID_HANDLE_VALUE;
  return Real().CreateFileW(live.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

BOOL WrapGetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (const Fault* fault = I().Hit(Call::kGetFileInformationByHandle, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!Real().GetFileInformationByHandle(file, info)) return 0;
  if (I().StandInFor(I().PathOf(file)) != nullptr) {
    info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  if (I().SparseStandInFor(I().PathOf(file)) != nullptr) {
    info->dwFileAttributes |= FILE_ATTRIBUTE_SPARSE_FILE;
  }
  info->dwFileAttributes |= I().ExtraAttributesFor(I().PathOf(file));
  if (!I().EncryptedPath().empty() &&
      I().PathOf(file).find(I().EncryptedPath()) != std::u16string::npos) {
    info->dwFileAttributes |= FILE_ATTRIBUTE_ENCRYPTED;
  }
  if (const auto* volume = I().VolumeStandInFor(I().PathOf(file))) {
    info->dwVolumeSerialNumber = volume->serial;
  }
  if (HANDLE live = OpenLiveCounterpart(file); live != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION live_info;
    if (Real().GetFileInformationByHandle(live, &live_info)) {
      info->dwVolumeSerialNumber = live_info.dwVolumeSerialNumber;
      info->nFileIndexHigh = live_info.nFileIndexHigh;
      info->nFileIndexLow = live_info.nFileIndexLow;
    }
    Real().CloseHandle(live);
  }
  uint64_t index = 0;
  if (I().SameIndex(&index)) {
    info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    info->nFileIndexLow = static_cast<DWORD>(index);
  }
  return 1;
}

BOOL WrapGetFileIdInfo(HANDLE file, FILE_ID_INFO* info) {
  if (const Fault* fault = I().Hit(Call::kGetFileIdInfo, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!Real().GetFileIdInfo(file, info)) return 0;
  if (HANDLE live = OpenLiveCounterpart(file); live != INVALID_HANDLE_VALUE) {
    Real().GetFileIdInfo(live, info);
    Real().CloseHandle(live);
  }
  uint64_t index = 0;
  if (I().SameId(&index)) {
    std::memset(info->FileId, static_cast<int>(index & 0xFF), sizeof info->FileId);
  }
  return 1;
}

DWORD WrapGetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD units) {
  if (const Fault* fault = I().Hit(Call::kGetFinalPathNameByHandleW, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!I().SnapshotStandsIn()) return Real().GetFinalPathNameByHandleW(file, path, units);
  const std::u16string opened_as = I().PathOf(file);
  const bool in_snapshot = !I().LiveCounterpartOf(opened_as).empty();
  const std::u16string final_path =
      (in_snapshot ? u"\\Device\\Snapshot1\\" : u"\\Device\\Volume1\\") + opened_as;
  if (final_path.size() >= units) return static_cast<DWORD>(final_path.size() + 1);
  std::copy(final_path.begin(), final_path.end(), path);
  path[final_path.size()] = u'\0';
  return static_cast<DWORD>(final_path.size());
}

BOOL WrapCreateHardLinkAtW(HANDLE file, HANDLE directory, const char16_t* name) {
  if (const Fault* fault = I().Hit(Call::kCreateHardLinkW, PathBelow(directory, name))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().CreateHardLinkAtW(file, directory, name);
}

BOOL WrapMoveEntryAtW(HANDLE object, HANDLE directory, const char16_t* name, HANDLE to_directory,
                      const char16_t* new_name) {
  if (const Fault* fault = I().Hit(Call::kMoveEntryW, PathBelow(directory, name))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().MoveEntryAtW(object, directory, name, to_directory, new_name);
}

BOOL WrapReadLinkTarget(HANDLE link, void* target, DWORD size, DWORD* returned) {
  const std::u16string path = I().PathOf(link);
  if (const Fault* fault = I().Hit(Call::kReadLinkTarget, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  const FaultInjector::StandInLink* stand_in = I().StandInFor(path);
  if (stand_in == nullptr) return Real().ReadLinkTarget(link, target, size, returned);
  if (stand_in->data.empty() || stand_in->data.size() > size) {
    Real().SetLastError(stand_in->data.empty() ? ERROR_NOT_A_REPARSE_POINT
                                               : ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(target, stand_in->data.data(), stand_in->data.size());
  *returned = static_cast<DWORD>(stand_in->data.size());
  return 1;
}

HANDLE WrapCreateLinkAtW(HANDLE directory, const char16_t* name, const void* target, DWORD size,
                         DWORD attributes, DWORD access) {
  const std::u16string path = PathBelow(directory, name);
  if (const Fault* fault = I().Hit(Call::kCreateLinkW, path)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE made = INVALID_HANDLE_VALUE;
  if (I().StandInFor(u"") == nullptr) {
    made = Real().CreateLinkAtW(directory, name, target, size, attributes, access);
  } else {
    const bool is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    made = is_directory
               ? Real().CreateDirectoryAtW(directory, name, access)
               : Real().CreateFileAtW(directory, name, access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      CREATE_NEW,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (made != INVALID_HANDLE_VALUE) {
      const auto* bytes = static_cast<const unsigned char*>(target);
      const auto lock = I().Lock();
      I().MadeLinks().push_back({path, {bytes, bytes + size}, attributes});
    }
  }
  if (made != INVALID_HANDLE_VALUE) I().Opened(made, path);
  return made;
}

HANDLE WrapCreateSpecialAtW(HANDLE directory, const char16_t* name, HANDLE like, DWORD access) {
  const std::u16string path = PathBelow(directory, name);
  if (const Fault* fault = I().Hit(Call::kCreateSpecialW, path)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE made = Real().CreateSpecialAtW(directory, name, like, access);
  if (made != INVALID_HANDLE_VALUE) I().Opened(made, path);
  return made;
}

uint64_t SizeOfFileAt(const std::u16string& path) {
  HANDLE file = Real().CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info = {};
  if (file != INVALID_HANDLE_VALUE) {
    Real().GetFileInformationByHandle(file, &info);
    Real().CloseHandle(file);
  }
  return uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
}

// Appends one FILE_STREAM_INFO record, linking the one before to it.
void AppendStreamRecord(std::vector<unsigned char>* out, size_t* last, std::u16string_view name,
                        uint64_t size) {
  const size_t at = out->size();
  if (at != 0) {
    const ULONG offset = static_cast<ULONG>(at - *last);
    std::memcpy(out->data() + *last, &offset, sizeof offset);
  }
  *last = at;
  FILE_STREAM_INFO record = {};
  record.StreamNameLength = static_cast<ULONG>(name.size() * sizeof(char16_t));
  record.StreamSize = static_cast<int64_t>(size);
  const size_t header = offsetof(FILE_STREAM_INFO, StreamName);
  out->resize((at + header + record.StreamNameLength + 7) / 8 * 8);
  std::memcpy(out->data() + at, &record, header);
  std::memcpy(out->data() + at + header, name.data(), record.StreamNameLength);
}

BOOL WrapGetStreamInformation(HANDLE file, void* records, DWORD size) {
  const std::u16string path = I().PathOf(file);
  if (const Fault* fault = I().Hit(Call::kGetStreamInformation, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (I().StreamStorage().empty()) return Real().GetStreamInformation(file, records, size);
  std::vector<unsigned char> list;
  size_t last = 0;
  for (const auto& stream : I().StandInStreamList()) {
    if (!path.ends_with(stream.path)) continue;
    if (list.empty()) AppendStreamRecord(&list, &last, u"::$DATA", 0);
    AppendStreamRecord(&list, &last, stream.name, SizeOfFileAt(stream.data_file));
  }
  if (list.empty() || list.size() > size) {
    Real().SetLastError(list.empty() ? ERROR_HANDLE_EOF : ERROR_MORE_DATA);
    return 0;
  }
  std::memcpy(records, list.data(), list.size());
  return 1;
}

HANDLE WrapCreateStreamW(HANDLE file, const char16_t* stream, DWORD access, DWORD disposition) {
  const std::u16string owner = I().PathOf(file);
  if (const Fault* fault = I().Hit(Call::kCreateStreamW, owner + stream)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  if (I().StreamStorage().empty()) return Real().CreateStreamW(file, stream, access, disposition);
  HANDLE opened = INVALID_HANDLE_VALUE;
  if (disposition == OPEN_EXISTING) {
    for (const auto& stand_in : I().StandInStreamList()) {
      if (owner.ends_with(stand_in.path) && stand_in.name == stream) {
        opened = Real().CreateFileW(stand_in.data_file.c_str(), access, 7, nullptr, OPEN_EXISTING,
                                    0, nullptr);
      }
    }
  } else {
    const auto lock = I().Lock();
    const std::u16string data_file =
        I().StreamStorage() + kPathSeparator + u"made" +
        std::u16string(1, static_cast<char16_t>(u'a' + I().MadeStreams().size()));
    opened = Real().CreateFileW(data_file.c_str(), access, 7, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened != INVALID_HANDLE_VALUE) I().MadeStreams().push_back({owner, stream, data_file});
  }
  if (opened != INVALID_HANDLE_VALUE) I().Opened(opened, owner + stream);
  return opened;
}

BOOL WrapGetAllocatedRanges(HANDLE file, int64_t offset, int64_t length,
                            FILE_ALLOCATED_RANGE_BUFFER* ranges, DWORD count, DWORD* returned) {
  const std::u16string path = I().PathOf(file);
  *returned = 0;
  if (const Fault* fault = I().Hit(Call::kGetAllocatedRanges, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  const FaultInjector::StandInSparse* stand_in = I().SparseStandInFor(path);
  if (stand_in == nullptr) {
    return Real().GetAllocatedRanges(file, offset, length, ranges, count, returned);
  }
  for (const FILE_ALLOCATED_RANGE_BUFFER& range : stand_in->ranges) {
    if (range.FileOffset + range.Length <= offset || range.FileOffset >= offset + length) continue;
    if (*returned == count) {
      Real().SetLastError(ERROR_MORE_DATA);
      return 0;
    }
    ranges[(*returned)++] = range;
  }
  return 1;
}

BOOL WrapSetSparse(HANDLE file) {
  if (const Fault* fault = I().Hit(Call::kSetSparse, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (I().SparseStandInFor(u"") == nullptr) return Real().SetSparse(file);
  I().MadeSparse();
  return 1;
}

BOOL WrapSetFilePointerEx(HANDLE file, int64_t offset, int64_t* position, DWORD method) {
  if (const Fault* fault = I().Hit(Call::kSetFilePointerEx, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().SetFilePointerEx(file, offset, position, method);
}

BOOL WrapSetEndOfFile(HANDLE file) {
  if (const Fault* fault = I().Hit(Call::kSetEndOfFile, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().SetEndOfFile(file);
}

BOOL WrapRemoveDirectoryAtW(HANDLE directory, const char16_t* name) {
  if (const Fault* fault = I().Hit(Call::kRemoveDirectoryW, PathBelow(directory, name))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().RemoveDirectoryAtW(directory, name);
}

void WrapSleep(DWORD milliseconds) {
  I().Hit(Call::kSleep, u"");
  I().Sleeping(milliseconds);
}

BOOL WrapCopyAttributes(HANDLE source, HANDLE destination) {
  if (const Fault* fault = I().Hit(Call::kCopyAttributes, I().PathOf(destination))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().CopyAttributes(source, destination);
}

BOOL WrapSetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access,
                     const FILETIME* write) {
  if (const Fault* fault = I().Hit(Call::kSetFileTime, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().SetFileTime(file, creation, access, write);
}

BOOL WrapCopyFileTimes(HANDLE source, HANDLE destination) {
  if (const Fault* fault = I().Hit(Call::kSetFileTime, I().PathOf(destination))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().CopyFileTimes(source, destination);
}

BOOL WrapUpcaseName(char16_t* name, DWORD units) {
  if (const Fault* fault = I().Hit(Call::kUpcaseName, std::u16string(name, units))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().UpcaseName(name, units);
}

BOOL WrapIsCaseSensitiveDirectory(HANDLE directory, BOOL* sensitive) {
  if (const Fault* fault = I().Hit(Call::kIsCaseSensitiveDirectory, I().PathOf(directory))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  const std::u16string& marked = I().CaseSensitivePath();
  if (!marked.empty() && I().PathOf(directory).find(marked) != std::u16string::npos) {
    *sensitive = 1;
    return 1;
  }
  return Real().IsCaseSensitiveDirectory(directory, sensitive);
}

BOOL WrapGetChangeTime(HANDLE file, FILETIME* change) {
  if (const Fault* fault = I().Hit(Call::kGetChangeTime, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().GetChangeTime(file, change);
}

HANDLE WrapOpenParentDirectory(HANDLE directory, DWORD access) {
  const std::u16string path = I().PathOf(directory);
  if (const Fault* fault = I().Hit(Call::kOpenParentDirectory, path)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE parent = Real().OpenParentDirectory(directory, access);
  if (parent != INVALID_HANDLE_VALUE) I().Opened(parent, path + kPathSeparator + u"..");
  return parent;
}

BOOL WrapGetDirectoryMark(HANDLE directory, const char16_t* name, void* value, DWORD size,
                          DWORD* returned) {
  const std::u16string key = PathBelow(directory, name);
  if (const Fault* fault = I().Hit(Call::kGetDirectoryMark, key)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!I().MarksStandIn()) {
    return Real().GetDirectoryMark(directory, name, value, size, returned);
  }
  auto lock = I().Lock();
  const auto found = I().Marks().find(key);
  if (found == I().Marks().end()) {
    Real().SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (found->second.size() > size) {
    Real().SetLastError(ERROR_MORE_DATA);
    return 0;
  }
  std::memcpy(value, found->second.data(), found->second.size());
  *returned = static_cast<DWORD>(found->second.size());
  return 1;
}

BOOL WrapSetDirectoryMark(HANDLE directory, const char16_t* name, const void* value, DWORD size) {
  const std::u16string key = PathBelow(directory, name);
  if (const Fault* fault = I().Hit(Call::kSetDirectoryMark, key)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!I().MarksStandIn()) {
    return Real().SetDirectoryMark(directory, name, value, size);
  }
  auto lock = I().Lock();
  if (size == 0) {
    I().Marks().erase(key);
  } else {
    I().Marks()[key].assign(static_cast<const char*>(value), size);
  }
  return 1;
}

BOOL WrapListDirectoryMarks(HANDLE directory, char16_t* names, DWORD size, DWORD* returned) {
  const std::u16string path = I().PathOf(directory);
  if (const Fault* fault = I().Hit(Call::kListDirectoryMarks, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!I().MarksStandIn()) return Real().ListDirectoryMarks(directory, names, size, returned);
  auto lock = I().Lock();
  const std::u16string prefix = path + kPathSeparator;
  std::u16string listed;
  for (const auto& [key, value] : I().Marks()) {
    if (key.rfind(prefix, 0) != 0 || key.find(kPathSeparator, prefix.size()) != std::u16string::npos) {
      continue;
    }
    listed += key.substr(prefix.size());
    listed += u'\0';
  }
  *returned = static_cast<DWORD>(listed.size());
  if (listed.size() > size) {
    Real().SetLastError(ERROR_MORE_DATA);
    return 0;
  }
  std::char_traits<char16_t>::copy(names, listed.data(), listed.size());
  return 1;
}

// A stand-in lock is held by a real handle (the directory opened again), so
// that the run closes it like any other.
HANDLE WrapLockDirectoryMark(HANDLE directory, const char16_t* name) {
  const std::u16string key = PathBelow(directory, name);
  if (const Fault* fault = I().Hit(Call::kLockDirectoryMark, key)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE lock = INVALID_HANDLE_VALUE;
  if (!I().MarksStandIn()) {
    lock = Real().LockDirectoryMark(directory, name);
  } else {
    lock = Real().CreateFileW(I().PathOf(directory).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (lock != INVALID_HANDLE_VALUE) {
      auto held = I().Lock();
      I().MarkLocks().insert(key);
      I().MarkLockHandles()[lock] = key;
    }
  }
  if (lock != INVALID_HANDLE_VALUE) I().Opened(lock, key);
  return lock;
}

BOOL WrapIsDirectoryMarkLocked(HANDLE directory, const char16_t* name, BOOL* locked) {
  const std::u16string key = PathBelow(directory, name);
  if (const Fault* fault = I().Hit(Call::kIsDirectoryMarkLocked, key)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!I().MarksStandIn()) return Real().IsDirectoryMarkLocked(directory, name, locked);
  auto held = I().Lock();
  *locked = I().MarkLocks().count(key) != 0;
  return 1;
}

BOOL WrapSameOwnerAndMode(HANDLE one, HANDLE other, BOOL* same) {
  if (const Fault* fault = I().Hit(Call::kSameOwnerAndMode, I().PathOf(one))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().SameOwnerAndMode(one, other, same);
}

HANDLE WrapCreateFileTrustedW(const char16_t* path, DWORD access, DWORD share, DWORD disposition,
                              DWORD flags) {
  if (const Fault* fault = I().Hit(Call::kCreateFileTrustedW, path)) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE opened = Real().CreateFileTrustedW(path, access, share, disposition, flags);
  if (opened != INVALID_HANDLE_VALUE) I().Opened(opened, path);
  return opened;
}

BOOL WrapSameAttributes(HANDLE source, HANDLE destination, BOOL* same) {
  if (const Fault* fault = I().Hit(Call::kSameAttributes, I().PathOf(source))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().SameAttributes(source, destination, same);
}

BOOL WrapSameWriteTime(HANDLE one, HANDLE other, BOOL* same) {
  if (const Fault* fault = I().Hit(Call::kSameWriteTime, I().PathOf(one))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().SameWriteTime(one, other, same);
}

BOOL WrapGetLocalTimeOffset(const FILETIME* utc, LONG* minutes) {
  if (const Fault* fault = I().Hit(Call::kGetLocalTimeOffset, u"")) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().GetLocalTimeOffset(utc, minutes);
}

DWORD WrapDescribeNativeError(DWORD code, char16_t* text, DWORD size) {
  if (const Fault* fault = I().Hit(Call::kDescribeNativeError, u"")) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().DescribeNativeError(code, text, size);
}

BOOL WrapGetUnknownReparseTag(HANDLE file, ULONG* tag) {
  const std::u16string path = I().PathOf(file);
  if (const Fault* fault = I().Hit(Call::kGetUnknownReparseTag, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!I().UnknownReparseTags().empty()) {
    for (const FaultInjector::StandInTag& stand_in : I().UnknownReparseTags()) {
      if (path.ends_with(stand_in.path)) {
        *tag = stand_in.tag;
        return 1;
      }
    }
    Real().SetLastError(ERROR_NOT_A_REPARSE_POINT);
    return 0;
  }
  return Real().GetUnknownReparseTag(file, tag);
}

HANDLE WrapGetStdHandle(DWORD which) {
  if (const Fault* fault = I().Hit(Call::kGetStdHandle, u"")) {
    Real().SetLastError(fault->error);
    return INVALID_HANDLE_VALUE;
  }
  return Real().GetStdHandle(which);
}

DWORD WrapGetFileType(HANDLE file) {
  if (const Fault* fault = I().Hit(Call::kGetFileType, u"")) {
    Real().SetLastError(fault->error);
    return FILE_TYPE_UNKNOWN;
  }
  return Real().GetFileType(file);
}

DWORD WrapVolumeRootLength(const char16_t* path) {
  if (const Fault* fault = I().Hit(Call::kVolumeRootLength, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().VolumeRootLength(path);
}

// A stand-in volume answers with its name, or with none; elsewhere the
// platform answers, where it names volumes at all.
DWORD WrapGetVolumeName(HANDLE file, char16_t* name, DWORD units) {
  const std::u16string path = I().PathOf(file);
  if (const Fault* fault = I().Hit(Call::kGetVolumeName, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (const auto* volume = I().VolumeStandInFor(path)) {
    if (volume->name.empty()) return 0;
    if (volume->name.size() >= units) return static_cast<DWORD>(volume->name.size() + 1);
    std::copy(volume->name.begin(), volume->name.end(), name);
    name[volume->name.size()] = u'\0';
    return static_cast<DWORD>(volume->name.size());
  }
  return Real().GetVolumeName != nullptr ? Real().GetVolumeName(file, name, units) : 0;
}

BOOL WrapFlushFileBuffers(HANDLE file) {
  if (const Fault* fault = I().Hit(Call::kFlushFileBuffers, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().FlushFileBuffers(file);
}

BOOL WrapFlushVolume(HANDLE object, BOOL probe_only) {
  if (const Fault* fault = I().Hit(Call::kFlushVolume, I().PathOf(object))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().FlushVolume(object, probe_only);
}

BOOL WrapGenerateRandom(void* buffer, DWORD size) {
  if (const Fault* fault = I().Hit(Call::kGenerateRandom, u"")) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().GenerateRandom(buffer, size);
}

BOOL WrapIsOwnedByRunner(HANDLE object, BOOL* owned) {
  const std::u16string path = I().PathOf(object);
  if (const Fault* fault = I().Hit(Call::kIsOwnedByRunner, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  for (const bool runner : {true, false}) {
    const std::u16string& marked = runner ? I().RunnerOwned() : I().ForeignOwned();
    if (!marked.empty() && path.find(marked) != std::u16string::npos) {
      *owned = runner;
      return 1;
    }
  }
  return Real().IsOwnedByRunner(object, owned);
}

BOOL WrapIsPrivateDirectory(HANDLE directory, BOOL* is_private) {
  const std::u16string path = I().PathOf(directory);
  if (const Fault* fault = I().Hit(Call::kIsPrivateDirectory, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!I().PrivateBelow().empty() && path.find(I().PrivateBelow()) != std::u16string::npos) {
    *is_private = 1;
    return 1;
  }
  return Real().IsPrivateDirectory(directory, is_private);
}

BOOL WrapClearSetIdBits(HANDLE file) {
  if (const Fault* fault = I().Hit(Call::kClearSetIdBits, I().PathOf(file))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().ClearSetIdBits(file);
}

BOOL WrapMayFollowLink(HANDLE directory, const char16_t* name, HANDLE target, BOOL* may) {
  const std::u16string path = PathBelow(directory, name);
  if (const Fault* fault = I().Hit(Call::kMayFollowLink, path)) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (!I().ForeignOwned().empty() && path.find(I().ForeignOwned()) != std::u16string::npos) {
    *may = 0;
    return 1;
  }
  return Real().MayFollowLink(directory, name, target, may);
}

BOOL WrapCloseHandle(HANDLE object) {
  const std::u16string path = I().PathOf(object);
  I().Closed(object);
  {
    auto held = I().Lock();
    const auto lock = I().MarkLockHandles().find(object);
    if (lock != I().MarkLockHandles().end()) {
      I().MarkLocks().erase(I().MarkLocks().find(lock->second));
      I().MarkLockHandles().erase(lock);
    }
  }
  if (const Fault* fault = I().Hit(Call::kCloseHandle, path)) {
    Real().CloseHandle(object);  // released all the same; only the result lies
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().CloseHandle(object);
}

DWORD WrapFormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                         char16_t* buffer, DWORD size, void* arguments) {
  if (const Fault* fault = I().Hit(Call::kFormatMessageW, u"")) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().FormatMessageW(flags, source, message_id, language_id, buffer, size, arguments);
}

HMODULE WrapGetModuleHandleA(const char* name) {
  if (const Fault* fault = I().Hit(Call::kGetModuleHandleA, u"")) {
    Real().SetLastError(fault->error);
    return nullptr;
  }
  return Real().GetModuleHandleA(name);
}

NTSTATUS WrapNtQueryDirectoryFile(HANDLE file, HANDLE event, void* apc_routine, void* apc_context,
                                  IO_STATUS_BLOCK* io_status, void* buffer, ULONG length,
                                  int information_class, BOOLEAN return_single_entry,
                                  void* file_name, BOOLEAN restart_scan) {
  const std::u16string path = I().PathOf(file);
  if (const Fault* fault = I().Hit(Call::kNtQueryDirectoryFile, path)) {
    return fault->status;
  }
  const NTSTATUS status =
      I().real_query(file, event, apc_routine, apc_context, io_status, buffer, length,
                     information_class, return_single_entry, file_name, restart_scan);
  if (status >= 0 && information_class == FileDirectoryInformation) {
    auto* record = static_cast<FILE_DIRECTORY_INFORMATION*>(buffer);
    const std::u16string name(record->FileName, record->FileNameLength / sizeof(char16_t));
    if (I().StandInFor(path + kPathSeparator + name) != nullptr) {
      record->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    record->FileAttributes |= I().ExtraAttributesFor(path + kPathSeparator + name);
  }
  return status;
}

std::u16string Widened(const char* text) {
  std::u16string out;
  for (; *text; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

// The listing entry point is handed out wrapped, so its calls are counted and
// faulted like every other.
FARPROC WrapGetProcAddress(HMODULE module, const char* name) {
  if (const Fault* fault = I().Hit(Call::kGetProcAddress, Widened(name))) {
    Real().SetLastError(fault->error);
    return nullptr;
  }
  FARPROC entry = Real().GetProcAddress(module, name);
  if (entry != nullptr && std::strcmp(name, "NtQueryDirectoryFile") == 0) {
    I().real_query = reinterpret_cast<NtQueryDirectoryFileFn>(entry);
    return reinterpret_cast<FARPROC>(&WrapNtQueryDirectoryFile);
  }
  return entry;
}

void* WrapVirtualAlloc(void* address, size_t size, DWORD type, DWORD protect) {
  if (const Fault* fault = I().Hit(Call::kVirtualAlloc, u"")) {
    Real().SetLastError(fault->error);
    return nullptr;
  }
  return Real().VirtualAlloc(address, size, type, protect);
}

BOOL WrapOpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  if (const Fault* fault = I().Hit(Call::kOpenProcessToken, u"")) {
    Real().SetLastError(fault->error);
    return 0;
  }
  BOOL ok = Real().OpenProcessToken(process, access, token);
  if (ok) I().Opened(*token, u"<token>");
  return ok;
}

BOOL WrapLookupPrivilegeValueA(const char* system_name, const char* name, LUID* luid) {
  if (const Fault* fault = I().Hit(Call::kLookupPrivilegeValueA, Widened(name))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  if (Real().LookupPrivilegeValueA(system_name, name, luid)) return 1;
  return I().StandsInForUnknownPrivileges() &&
         Real().LookupPrivilegeValueA(system_name, "SeChangeNotifyPrivilege", luid);
}

BOOL WrapAdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                               DWORD length, TOKEN_PRIVILEGES* previous, DWORD* needed) {
  if (const Fault* fault = I().Hit(Call::kAdjustTokenPrivileges, u"")) {
    if (fault->kind == Fault::Kind::kNotAllAssigned) {
      Real().SetLastError(ERROR_NOT_ALL_ASSIGNED);
      return 1;
    }
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().AdjustTokenPrivileges(token, disable_all, new_state, length, previous, needed);
}

BOOL WrapGetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor, DWORD length,
                                 DWORD* needed) {
  if (const Fault* fault = I().Hit(Call::kGetKernelObjectSecurity, I().PathOf(object))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().GetKernelObjectSecurity(object, information, descriptor, length, needed);
}

BOOL WrapSetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor) {
  if (const Fault* fault = I().Hit(Call::kSetKernelObjectSecurity, I().PathOf(object))) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().SetKernelObjectSecurity(object, information, descriptor);
}

BOOL WrapSetConsoleCtrlHandler(BOOL (*handler)(DWORD), BOOL add) {
  if (const Fault* fault = I().Hit(Call::kSetConsoleCtrlHandler, u"")) {
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().SetConsoleCtrlHandler(handler, add);
}

void WrapExitProcess(UINT code) {
  I().Exited(code);
}

BOOL WrapCopyFileRange(HANDLE source, HANDLE destination, DWORD max_bytes, uint64_t* moved) {
  if (const Fault* fault = I().Hit(Call::kCopyFileRange, I().PathOf(source))) {
    *moved = 0;
    Real().SetLastError(fault->error);
    return 0;
  }
  return Real().CopyFileRange(source, destination, max_bytes, moved);
}

}  // namespace

FaultInjector::FaultInjector() : real_(Os()) {
  if (g_injector != nullptr) throw std::logic_error("one fault injector at a time");
  g_injector = this;
  Platform& table = Os();
  table.CreateFileW = WrapCreateFileW;
  table.CreateDirectoryW = WrapCreateDirectoryW;
  table.CreateFileAtW = WrapCreateFileAtW;
  table.CreateDirectoryAtW = WrapCreateDirectoryAtW;
  table.ReadFile = WrapReadFile;
  table.WriteFile = WrapWriteFile;
  table.GetFileInformationByHandle = WrapGetFileInformationByHandle;
  table.SetFileTime = WrapSetFileTime;
  table.CloseHandle = WrapCloseHandle;
  table.FormatMessageW = WrapFormatMessageW;
  table.GetModuleHandleA = WrapGetModuleHandleA;
  table.GetProcAddress = WrapGetProcAddress;
  table.VirtualAlloc = WrapVirtualAlloc;
  table.OpenProcessToken = WrapOpenProcessToken;
  table.LookupPrivilegeValueA = WrapLookupPrivilegeValueA;
  table.AdjustTokenPrivileges = WrapAdjustTokenPrivileges;
  table.GetKernelObjectSecurity = WrapGetKernelObjectSecurity;
  table.SetKernelObjectSecurity = WrapSetKernelObjectSecurity;
  table.SetConsoleCtrlHandler = WrapSetConsoleCtrlHandler;
  table.ExitProcess = WrapExitProcess;
  table.CreateTemporaryFileAtW = WrapCreateTemporaryFileAtW;
  table.MoveFileAtW = WrapMoveFileAtW;
  table.DeleteFileAtW = WrapDeleteFileAtW;
  table.RemoveDirectoryAtW = WrapRemoveDirectoryAtW;
  table.MoveEntryAtW = WrapMoveEntryAtW;
  table.Sleep = WrapSleep;
  table.GetStdHandle = WrapGetStdHandle;
  table.GetFileType = WrapGetFileType;
  if (real_.ApplyInheritedSecurity != nullptr) {
    table.ApplyInheritedSecurity = WrapApplyInheritedSecurity;
  }
  if (real_.CopyFileRange != nullptr) table.CopyFileRange = WrapCopyFileRange;
  if (real_.GetFileIdInfo != nullptr) table.GetFileIdInfo = WrapGetFileIdInfo;
  if (real_.CreateHardLinkAtW != nullptr) table.CreateHardLinkAtW = WrapCreateHardLinkAtW;
  if (real_.CopyAttributes != nullptr) table.CopyAttributes = WrapCopyAttributes;
  if (real_.ReadLinkTarget != nullptr) table.ReadLinkTarget = WrapReadLinkTarget;
  if (real_.CreateLinkAtW != nullptr) table.CreateLinkAtW = WrapCreateLinkAtW;
  if (real_.CreateSpecialAtW != nullptr) table.CreateSpecialAtW = WrapCreateSpecialAtW;
  if (real_.GetStreamInformation != nullptr) table.GetStreamInformation = WrapGetStreamInformation;
  if (real_.CreateStreamW != nullptr) table.CreateStreamW = WrapCreateStreamW;
  if (real_.GetAllocatedRanges != nullptr) table.GetAllocatedRanges = WrapGetAllocatedRanges;
  if (real_.SetSparse != nullptr) table.SetSparse = WrapSetSparse;
  if (real_.SetFilePointerEx != nullptr) table.SetFilePointerEx = WrapSetFilePointerEx;
  if (real_.SetEndOfFile != nullptr) table.SetEndOfFile = WrapSetEndOfFile;
  if (real_.GetFinalPathNameByHandleW != nullptr) {
    table.GetFinalPathNameByHandleW = WrapGetFinalPathNameByHandleW;
  }
  if (real_.CopyFileTimes != nullptr) table.CopyFileTimes = WrapCopyFileTimes;
  if (real_.UpcaseName != nullptr) table.UpcaseName = WrapUpcaseName;
  if (real_.IsCaseSensitiveDirectory != nullptr) {
    table.IsCaseSensitiveDirectory = WrapIsCaseSensitiveDirectory;
  }
  if (real_.GetChangeTime != nullptr) table.GetChangeTime = WrapGetChangeTime;
  if (real_.OpenParentDirectory != nullptr) table.OpenParentDirectory = WrapOpenParentDirectory;
  if (real_.GetDirectoryMark != nullptr) table.GetDirectoryMark = WrapGetDirectoryMark;
  if (real_.SetDirectoryMark != nullptr) table.SetDirectoryMark = WrapSetDirectoryMark;
  if (real_.ListDirectoryMarks != nullptr) table.ListDirectoryMarks = WrapListDirectoryMarks;
  if (real_.SameOwnerAndMode != nullptr) table.SameOwnerAndMode = WrapSameOwnerAndMode;
  if (real_.CreateFileTrustedW != nullptr) table.CreateFileTrustedW = WrapCreateFileTrustedW;
  if (real_.SameAttributes != nullptr) table.SameAttributes = WrapSameAttributes;
  if (real_.SameWriteTime != nullptr) table.SameWriteTime = WrapSameWriteTime;
  if (real_.GetLocalTimeOffset != nullptr) table.GetLocalTimeOffset = WrapGetLocalTimeOffset;
  if (real_.DescribeNativeError != nullptr) {
    table.DescribeNativeError = WrapDescribeNativeError;
  }
  if (real_.GetVolumeName != nullptr) table.GetVolumeName = WrapGetVolumeName;
  if (real_.VolumeRootLength != nullptr) table.VolumeRootLength = WrapVolumeRootLength;
  if (real_.GetUnknownReparseTag != nullptr) {
    table.GetUnknownReparseTag = WrapGetUnknownReparseTag;
  }
  if (real_.LockDirectoryMark != nullptr) table.LockDirectoryMark = WrapLockDirectoryMark;
  if (real_.IsDirectoryMarkLocked != nullptr) {
    table.IsDirectoryMarkLocked = WrapIsDirectoryMarkLocked;
  }
  if (real_.FlushFileBuffers != nullptr) table.FlushFileBuffers = WrapFlushFileBuffers;
  if (real_.FlushVolume != nullptr) table.FlushVolume = WrapFlushVolume;
  if (real_.GenerateRandom != nullptr) table.GenerateRandom = WrapGenerateRandom;
  if (real_.IsOwnedByRunner != nullptr) table.IsOwnedByRunner = WrapIsOwnedByRunner;
  if (real_.IsPrivateDirectory != nullptr) table.IsPrivateDirectory = WrapIsPrivateDirectory;
  if (real_.ClearSetIdBits != nullptr) table.ClearSetIdBits = WrapClearSetIdBits;
  if (real_.MayFollowLink != nullptr) table.MayFollowLink = WrapMayFollowLink;
  if (real_.GetVolumeFeatures != nullptr) table.GetVolumeFeatures = WrapGetVolumeFeatures;
  if (real_.GetTerminalColumns != nullptr) table.GetTerminalColumns = WrapGetTerminalColumns;
  if (real_.CreateEncryptedCopyAtW != nullptr) {
    table.CreateEncryptedCopyAtW = WrapCreateEncryptedCopyAtW;
  }
}

void FaultInjector::StandInVolumeFeatures(DWORD features) {
  volume_features_stand_in_ = true;
  volume_features_ = features;
  Os().GetVolumeFeatures = WrapGetVolumeFeatures;
}

void FaultInjector::StandInEncryption(std::u16string path) {
  encrypted_path_ = std::move(path);
  Os().CreateEncryptedCopyAtW = WrapCreateEncryptedCopyAtW;
}

size_t FaultInjector::MarksNamed(std::u16string_view name) {
  auto lock = Lock();
  size_t count = 0;
  for (const auto& [key, value] : marks_) {
    const std::u16string_view mark = std::u16string_view(key).substr(key.rfind(kPathSeparator) + 1);
    if (mark == name || (mark.starts_with(name) && mark[name.size()] == u'.')) ++count;
  }
  return count;
}

void FaultInjector::StandInUnknownReparseTags(std::vector<StandInTag> tags) {
  stand_in_tags_ = std::move(tags);
  Os().GetUnknownReparseTag = WrapGetUnknownReparseTag;
}

void FaultInjector::StandInMarks() {
  Os().GetDirectoryMark = WrapGetDirectoryMark;
  Os().SetDirectoryMark = WrapSetDirectoryMark;
  Os().ListDirectoryMarks = WrapListDirectoryMarks;
  Os().LockDirectoryMark = WrapLockDirectoryMark;
  Os().IsDirectoryMarkLocked = WrapIsDirectoryMarkLocked;
  marks_stand_in_ = true;
}

namespace {

// A parent opened from its child ("dir/..") is the directory above dir.
std::u16string WithoutParentSteps(const std::u16string& opened_as) {
  std::u16string path = opened_as;
  const std::u16string up = std::u16string(1, kPathSeparator) + u"..";
  while (path.ends_with(up)) {
    path.resize(path.size() - up.size());
    const size_t cut = path.rfind(kPathSeparator);
    path.resize(cut == std::u16string::npos ? 0 : cut);
  }
  return path;
}

bool IsAtOrBelow(const std::u16string& path, const std::u16string& top) {
  return path.rfind(top, 0) == 0 && (path.size() == top.size() || path[top.size()] == kPathSeparator);
}

}  // namespace

const FaultInjector::StandInVolume* FaultInjector::VolumeStandInFor(
    const std::u16string& opened_as) const {
  const std::u16string path = WithoutParentSteps(opened_as);
  for (const StandInVolume& volume : stand_in_volumes_) {
    if (IsAtOrBelow(path, volume.path)) return &volume;
  }
  return nullptr;
}

void FaultInjector::StandInVolumes(std::vector<StandInVolume> volumes) {
  stand_in_volumes_ = std::move(volumes);
  Os().GetVolumeName = WrapGetVolumeName;
}

void FaultInjector::StandInSnapshot(std::u16string snapshot, std::u16string live) {
  snapshot_ = std::move(snapshot);
  snapshot_live_ = std::move(live);
  Os().GetFinalPathNameByHandleW = WrapGetFinalPathNameByHandleW;
}

std::u16string FaultInjector::LiveCounterpartOf(const std::u16string& opened_as) const {
  const std::u16string path = WithoutParentSteps(opened_as);
  if (snapshot_.empty() || !IsAtOrBelow(path, snapshot_)) return {};
  return snapshot_live_ + path.substr(snapshot_.size());
}

FaultInjector::~FaultInjector() {
  Os() = real_;
  g_injector = nullptr;
}

void FaultInjector::Add(const Fault& fault) {
  rules_.push_back(Rule{fault, 0});
}

// The wrapped stream entries serve the stand-ins, also where the platform
// has no streams of its own.
void FaultInjector::StandInStreams(std::vector<StandInStream> streams, std::u16string storage) {
  stand_in_streams_ = std::move(streams);
  stream_storage_ = std::move(storage);
  Os().GetStreamInformation = WrapGetStreamInformation;
  Os().CreateStreamW = WrapCreateStreamW;
}

// An empty `path` asks whether any stand-in is set.
const FaultInjector::StandInSparse* FaultInjector::SparseStandInFor(
    const std::u16string& path) const {
  for (const StandInSparse& file : stand_in_sparse_) {
    if (path.empty() || path.ends_with(file.path)) return &file;
  }
  return nullptr;
}

// An empty `path` asks whether any stand-in is set.
const FaultInjector::StandInLink* FaultInjector::StandInFor(const std::u16string& path) const {
  for (const StandInLink& link : stand_in_links_) {
    if (path.empty() || path.ends_with(link.path)) return &link;
  }
  return nullptr;
}

int FaultInjector::Calls(Call call) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return calls_[static_cast<int>(call)];
}

std::vector<std::u16string> FaultInjector::OpenHandles() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<std::u16string> paths;
  for (const auto& [handle, path] : handles_) paths.push_back(path);
  return paths;
}

std::u16string FaultInjector::PathOf(HANDLE handle) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = handles_.find(handle);
  return it == handles_.end() ? std::u16string() : it->second;
}

const Fault* FaultInjector::Hit(Call call, const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++calls_[static_cast<int>(call)];
  const Fault* hit = nullptr;
  for (Rule& rule : rules_) {
    if (rule.fault.call != call) continue;
    if (!rule.fault.path.empty() && path.find(rule.fault.path) == std::u16string::npos) continue;
    if (++rule.seen != rule.fault.nth) continue;
    if (rule.fault.kind == Fault::Kind::kBefore) {
      rule.fault.before();  // the call itself then goes through
    } else if (hit == nullptr) {
      hit = &rule.fault;
      hit_path_ = path;
    }
  }
  return hit;
}

}  // namespace vx::testing
