// Rules of the Windows backend that decide on what the system answered,
// kept apart from the calls so that they can be tried with any answer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../platform.h"

namespace vx::win32 {

constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);

// Only a name surrogate (symbolic link, junction, mount point) leads
// elsewhere; other reparse points (deduplicated, cloud-file placeholder,
// WOF-compressed files) hold their own data and are files like any other.
constexpr bool IsNameSurrogateTag(ULONG tag) {
  return (tag & 0x20000000) != 0;
}

// What a reparse point is, by its tag (the Windows documentation's list):
// a link (a name surrogate); a cloud-file placeholder (IO_REPARSE_TAG_CLOUD
// and its variants _1 to _F, OneDrive's), whose data reading fetches; an
// application alias (IO_REPARSE_TAG_APPEXECLINK), which holds no data; or
// data that the file system's filter hands out when the file is opened as
// itself rather than as the reparse point (IO_REPARSE_TAG_DEDUP, _WOF, and
// any other tag).
enum class ReparseClass { kLink, kCloud, kAlias, kData };

constexpr ReparseClass ClassifyReparseTag(ULONG tag) {
  if (IsNameSurrogateTag(tag)) return ReparseClass::kLink;
  constexpr ULONG kCloudVariants = 0x0000F000;
  if ((tag & ~kCloudVariants) == 0x9000001A || tag == 0x80000021) return ReparseClass::kCloud;
  if (tag == 0x8000001B) return ReparseClass::kAlias;
  return ReparseClass::kData;
}

// Whether the tag is one the Windows documentation lists (the protocol
// reference's table of reparse tags): a file whose tag is none of them is
// copied as the data its file system hands out, with a note naming the tag.
constexpr bool IsDocumentedReparseTag(ULONG tag) {
  constexpr ULONG kCloudVariants = 0x0000F000;
  if ((tag & ~kCloudVariants) == 0x9000001A) return true;  // CLOUD and CLOUD_1 to _F
  constexpr ULONG kDocumented[] = {
      0xA0000003,  // MOUNT_POINT
      0xC0000004,  // HSM
      0x80000005,  // DRIVE_EXTENDER
      0x80000006,  // HSM2
      0x80000007,  // SIS
      0x80000008,  // WIM
      0x80000009,  // CSV
      0x8000000A,  // DFS
      0x8000000B,  // FILTER_MANAGER
      0xA000000C,  // SYMLINK
      0xA0000010,  // IIS_CACHE
      0x80000012,  // DFSR
      0x80000013,  // DEDUP
      0xC0000014,  // APPXSTRM
      0x80000014,  // NFS
      0x80000015,  // FILE_PLACEHOLDER
      0x80000016,  // DFM
      0x80000017,  // WOF
      0x80000018,  // WCI
      0x90001018,  // WCI_1
      0xA0000019,  // GLOBAL_REPARSE
      0x8000001B,  // APPEXECLINK
      0x9000001C,  // PROJFS
      0xA000001D,  // LX_SYMLINK
      0x8000001E,  // STORAGE_SYNC
      0xA000001F,  // WCI_TOMBSTONE
      0x80000020,  // UNHANDLED
      0x80000021,  // ONEDRIVE
      0xA0000022,  // PROJFS_TOMBSTONE
      0x80000023,  // AF_UNIX
      0x80000024,  // LX_FIFO
      0x80000025,  // LX_CHR
      0x80000026,  // LX_BLK
      0x90000027,  // STORAGE_SYNC_FOLDER
      0xA0000027,  // WCI_LINK
      0xA0001027,  // WCI_LINK_1
  };
  for (ULONG documented : kDocumented) {
    if (tag == documented) return true;
  }
  return false;
}

// The device path to open a volume by, from a final path of an object on
// it: "\\?\Volume{GUID}\..." (VOLUME_NAME_GUID: the volume itself, also
// where it is mounted in a folder of another) gives "\\?\Volume{GUID}",
// "\\?\X:\..." (VOLUME_NAME_DOS) gives "\\.\X:". Empty for anything else
// (a share, a device path): no volume the run may flush.
inline std::wstring VolumeDeviceFromFinalPath(std::wstring_view path) {
  constexpr std::wstring_view kExtended = L"\\\\?\\";
  constexpr std::wstring_view kVolume = L"\\\\?\\Volume{";
  if (path.substr(0, kVolume.size()) == kVolume) {
    const size_t end = path.find(L'\\', kExtended.size());
    if (end == std::wstring_view::npos || path[end - 1] != L'}') return {};
    return std::wstring(path.substr(0, end));
  }
  if (path.size() >= 6 && path.substr(0, kExtended.size()) == kExtended && path[5] == L':' &&
      (path.size() == 6 || path[6] == L'\\')) {
    return std::wstring(L"\\\\.\\") + path[4] + L':';
  }
  return {};
}

// Where the root of a full path ends (the index of the separator after
// it, or the path's length): "\\?\C:" and "\\?\Volume{GUID}" (one name),
// "\\?\UNC\server\share" (three) and a device path
// "\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy1" (three, a
// shadow copy's). npos where the path is no such form.
inline size_t RootEndOfPath(std::u16string_view path) {
  constexpr std::u16string_view kExtended = u"\\\\?\\";
  if (path.substr(0, kExtended.size()) != kExtended) return std::u16string_view::npos;
  auto starts = [&](std::u16string_view head) {
    const std::u16string_view rest = path.substr(kExtended.size(), head.size());
    return rest.size() == head.size() &&
           std::equal(rest.begin(), rest.end(), head.begin(), [](char16_t a, char16_t b) {
             auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; };
             return upper(a) == upper(b);
           });
  };
  int names = starts(u"UNC\\") || starts(u"GLOBALROOT\\") ? 3 : 1;
  size_t end = kExtended.size() - 1;
  for (; names > 0; --names) {
    if (end + 1 >= path.size()) return std::u16string_view::npos;
    end = path.find(u'\\', end + 1);
    if (end == std::u16string_view::npos) return names == 1 ? path.size() : end;
  }
  return end;
}

// The raw calls of an encrypted copy name the file by its path, and a
// remote one is handed to the server's EFS, which takes no more than
// MAX_PATH units: a longer path (`directory`, then `name` below it where
// given) is given with the directory in its short (8.3) form, which
// `shorten` asks for, where the volume keeps one. Empty where no form fits.
template <typename Shorten>
std::u16string PathForRawCall(const std::u16string& directory, std::u16string_view name,
                              Shorten shorten) {
  constexpr size_t kMaxPath = 260;
  auto joined = [&](std::u16string path) {
    if (!name.empty()) {
      if (path.back() != u'\\') path += u'\\';
      path += name;
    }
    return path;
  };
  std::u16string path = joined(directory);
  if (path.size() < kMaxPath) return path;
  std::u16string short_form;
  if (!shorten(directory, &short_form) || short_form.empty()) return {};
  path = joined(short_form);
  return path.size() < kMaxPath ? path : std::u16string();
}

// The records of a stream query (FILE_STREAM_INFO, chained by their
// offsets, in `size` bytes) with the run's own marks (":velmox.<name>:$DATA",
// see Win32SetDirectoryMark) left out, in place: they are the run's
// bookkeeping on a replica, not the object's data, and a copy of them would
// tell a later run of runs that never wrote there. Returns the records kept.
inline size_t DropMarkStreams(unsigned char* records, size_t size) {
  constexpr size_t kHeaderBytes = offsetof(FILE_STREAM_INFO, StreamName);
  constexpr std::u16string_view kMarkHead = u":velmox.";
  std::vector<unsigned char> kept;
  size_t count = 0;
  size_t previous = 0;
  for (size_t at = 0; at + kHeaderBytes <= size;) {
    FILE_STREAM_INFO header;
    std::memcpy(&header, records + at, kHeaderBytes);
    const size_t length = std::min<size_t>(kHeaderBytes + header.StreamNameLength, size - at);
    std::u16string name((length - kHeaderBytes) / sizeof(char16_t), u'\0');
    std::memcpy(name.data(), records + at + kHeaderBytes, name.size() * sizeof(char16_t));
    if (!name.starts_with(kMarkHead)) {
      kept.resize((kept.size() + 7) & ~size_t{7});  // records start 8-byte aligned
      if (count > 0) {
        const ULONG offset = static_cast<ULONG>(kept.size() - previous);
        std::memcpy(kept.data() + previous, &offset, sizeof offset);
      }
      previous = kept.size();
      kept.insert(kept.end(), records + at, records + at + length);
      const ULONG last = 0;
      std::memcpy(kept.data() + previous, &last, sizeof last);
      ++count;
    }
    if (header.NextEntryOffset == 0) break;
    at += header.NextEntryOffset;
  }
  std::memcpy(records, kept.data(), kept.size());
  return count;
}

// Reparse data (REPARSE_DATA_BUFFER: a tag, a data length, a reserved
// word, then the tag's own data) is carried as a link's target where its tag
// is a name surrogate, or an application alias (whose reparse data is all it
// holds: read for data it opens nothing), and its length agrees with what
// was read.
inline bool IsLinkData(const void* data, DWORD size) {
  constexpr DWORD kHeaderBytes = 8;
  if (size < kHeaderBytes) return false;
  ULONG tag = 0;
  uint16_t length = 0;
  std::memcpy(&tag, data, sizeof tag);
  std::memcpy(&length, static_cast<const unsigned char*>(data) + 4, sizeof length);
  const ReparseClass kind = ClassifyReparseTag(tag);
  return (kind == ReparseClass::kLink || kind == ReparseClass::kAlias) &&
         kHeaderBytes + length <= size;
}

constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BB);
constexpr NTSTATUS kStatusCannotDelete = static_cast<NTSTATUS>(0xC0000121);
constexpr NTSTATUS kStatusFileInvalid = static_cast<NTSTATUS>(0xC0000098);

// The answers of a file system (FAT, older NTFS, SMB servers, Wine) that
// does not take the extended rename or disposition with its flags.
constexpr bool RefusesExtendedForm(NTSTATUS status) {
  return status == kStatusInvalidParameter || status == kStatusNotSupported ||
         status == kStatusInvalidInfoClass || status == kStatusNotImplemented;
}

// What a read-only file answers to a rename over it (access denied) or to
// its deletion (cannot delete), whatever the privileges.
constexpr bool IsReadOnlyRefusal(NTSTATUS status) {
  return status == kStatusAccessDenied || status == kStatusCannotDelete;
}

// Replaces or deletes a file: first `extended` (POSIX semantics, read-only
// ignored: the name goes at once, even while others hold the file open).
// Where the file system refuses that form, `legacy`; a refusal a read-only
// file gives there, where `may_meet_read_only`, clears the attribute
// (`clear_read_only`, true when it did so) and tries `legacy` once more,
// and if that fails too, puts the attribute back (`restore_read_only`), so
// a failure leaves the file exactly as it was.
template <typename Extended, typename Legacy, typename Clear, typename Restore>
NTSTATUS ReplaceOrDelete(bool may_meet_read_only, Extended extended, Legacy legacy,
                         Clear clear_read_only, Restore restore_read_only) {
  NTSTATUS status = extended();
  if (!RefusesExtendedForm(status)) return status;
  status = legacy();
  if (!IsReadOnlyRefusal(status) || !may_meet_read_only || !clear_read_only()) return status;
  status = legacy();
  if (status < 0) restore_read_only();
  return status;
}

// Names a file below a directory: `relative`, by the directory's handle;
// where the file system takes no root directory (an SMB client), `by_path`,
// by the directory's full path, after which `same_directory` must still find
// the directory at that path, else the naming is reported as a file that
// changed under the run.
template <typename Relative, typename ByPath, typename SameDirectory>
NTSTATUS ByHandleOrPath(Relative relative, ByPath by_path, SameDirectory same_directory) {
  NTSTATUS status = relative();
  if (status != kStatusInvalidParameter) return status;
  status = by_path();
  if (status >= 0 && !same_directory()) status = kStatusFileInvalid;
  return status;
}

}  // namespace vx::win32
