// What Wine cannot show: reparse tags of real Windows volumes, and a
// read-only file refusing to be replaced whatever the privileges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/encrypted.h"
#include "platform/win32/replace_rules.h"

namespace vx {
namespace {

// Tags as the Windows documentation lists them: only name surrogates are
// links; cloud placeholders and application aliases are kinds of their
// own; every other tag holds data its file system's filter hands out (one
// no document names with a note).
TEST(ReparseTagTest, EachTagHasItsClass) {
  using Class = win32::ReparseClass;
  const struct {
    ULONG tag;
    Class kind;
    bool documented;  // else copied as data with a note naming the tag
  } cases[] = {
      {0xA000000C, Class::kLink, true},   // IO_REPARSE_TAG_SYMLINK
      {0xA0000003, Class::kLink, true},   // IO_REPARSE_TAG_MOUNT_POINT (junctions, mounted volumes)
      {0x80000013, Class::kData, true},   // IO_REPARSE_TAG_DEDUP
      {0x80000017, Class::kData, true},   // IO_REPARSE_TAG_WOF
      {0x9000001A, Class::kCloud, true},  // IO_REPARSE_TAG_CLOUD
      {0x9000601A, Class::kCloud, true},  // IO_REPARSE_TAG_CLOUD_6
      {0x9000F01A, Class::kCloud, true},  // IO_REPARSE_TAG_CLOUD_F
      {0x80000021, Class::kCloud, true},  // IO_REPARSE_TAG_ONEDRIVE
      {0x8000001B, Class::kAlias, true},  // IO_REPARSE_TAG_APPEXECLINK
      {0x80000014, Class::kData, true},   // IO_REPARSE_TAG_NFS
      {0x8000ABCD, Class::kData, false},  // a tag no document names
      {0x80000030, Class::kData, false},  // a tag past the documented ones
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win32::ClassifyReparseTag(c.tag), c.kind) << std::hex << c.tag;
    EXPECT_EQ(win32::IsNameSurrogateTag(c.tag), c.kind == Class::kLink) << std::hex << c.tag;
    EXPECT_EQ(win32::IsDocumentedReparseTag(c.tag), c.documented) << std::hex << c.tag;
    // Links and aliases are carried as their reparse data, whole only.
    unsigned char data[12] = {};
    std::memcpy(data, &c.tag, sizeof c.tag);
    data[4] = 4;  // the tag's own data: 4 bytes
    const bool carried = c.kind == Class::kLink || c.kind == Class::kAlias;
    EXPECT_EQ(win32::IsLinkData(data, sizeof data), carried) << std::hex << c.tag;
    EXPECT_FALSE(win32::IsLinkData(data, sizeof data - 1)) << std::hex << c.tag;
  }
}

// A volume is flushed by its own device path: a folder-mounted volume by
// its GUID path, never by the drive its folder is on.
TEST(VolumeDeviceTest, TheVolumeItselfIsOpened) {
  const struct {
    std::wstring_view final_path;
    std::wstring_view device;
  } cases[] = {
      {L"\\\\?\\Volume{0123abcd-0000-0000-0000-000000000000}\\Data\\x",
       L"\\\\?\\Volume{0123abcd-0000-0000-0000-000000000000}"},
      {L"\\\\?\\Volume{0123abcd-0000-0000-0000-000000000000}\\",
       L"\\\\?\\Volume{0123abcd-0000-0000-0000-000000000000}"},
      {L"\\\\?\\C:\\Data\\x", L"\\\\.\\C:"},
      {L"\\\\?\\C:", L"\\\\.\\C:"},
      {L"\\\\?\\UNC\\srv\\share\\x", L""},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1\\x", L""},
      {L"\\\\?\\Volume{unclosed", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win32::VolumeDeviceFromFinalPath(c.final_path), c.device)
        << std::string(c.final_path.begin(), c.final_path.end());
  }
}

// A raw copy of an encrypted file names the import's own failure, not the
// abort its end caused in the export; a failed export is named as such.
TEST(EncryptedCopyTest, TheFailingHalfIsNamed) {
  constexpr unsigned long kAborted = 995;     // ERROR_OPERATION_ABORTED
  constexpr unsigned long kDiskFull = 112;    // ERROR_DISK_FULL
  constexpr unsigned long kAccess = 5;        // ERROR_ACCESS_DENIED
  const struct {
    unsigned long exported, imported, reported;
  } cases[] = {
      {0, 0, 0},
      {kAborted, kDiskFull, kDiskFull},
      {0, kDiskFull, kDiskFull},
      {kAccess, kAccess, kAccess},
      {kAccess, 0, kAccess},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win32::RawCopyResult(c.exported, c.imported), c.reported)
        << c.exported << " " << c.imported;
  }
}

// A parent is opened by its path up to the root, never above it, in every
// form a final path takes (a shadow copy's device path included).
TEST(VolumeDeviceTest, EachPathFormHasItsRoot) {
  constexpr size_t kNone = std::u16string_view::npos;
  const struct {
    std::u16string_view path;
    size_t root_end;
  } cases[] = {
      {u"\\\\?\\C:\\Data\\x", 6},
      {u"\\\\?\\C:", 6},
      {u"\\\\?\\UNC\\srv\\share\\x", 17},
      {u"\\\\?\\unc\\srv\\share", 17},
      {u"\\\\?\\Volume{0123}\\x", 16},
      {u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1\\Data", 47},
      {u"\\\\?\\GLOBALROOT\\Device", kNone},
      {u"C:\\Data", kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win32::RootEndOfPath(c.path), c.root_end)
        << std::string(c.path.begin(), c.path.end());
  }
}

// A raw copy's path over MAX_PATH is given with its directory's short
// form where there is one that fits, else not at all (never cut).
TEST(EncryptedCopyTest, LongPathsTakeTheirShortForm) {
  const std::u16string deep = u"\\\\?\\UNC\\srv\\share\\" + std::u16string(250, u'd');
  const std::u16string name = u".velmox~0123456789abcdef.tmp";
  auto shorten_to = [](std::u16string form) {
    return [form](const std::u16string&, std::u16string* out) {
      *out = form;
      return !form.empty();
    };
  };
  const struct {
    std::u16string directory;
    std::u16string short_form;
    std::u16string expected;
  } cases[] = {
      {u"\\\\?\\C:\\Data", u"", u"\\\\?\\C:\\Data\\" + name},
      {u"\\\\?\\C:\\", u"", u"\\\\?\\C:\\" + name},
      {deep, u"\\\\?\\UNC\\srv\\share\\DDDDDD~1", u"\\\\?\\UNC\\srv\\share\\DDDDDD~1\\" + name},
      {deep, u"", u""},                                       // the volume keeps no short names
      {deep, u"\\\\?\\UNC\\srv\\" + std::u16string(240, u'x'), u""},  // still too long
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win32::PathForRawCall(c.directory, name, shorten_to(c.short_form)), c.expected);
  }
  EXPECT_EQ(win32::PathForRawCall(deep, u"", shorten_to(u"\\\\?\\X")), u"\\\\?\\X");
}

// A stream query's records lose the run's own marks and keep the rest, in
// their order, chained anew.
TEST(MarkStreamTest, TheRunsMarksAreNoStreamsOfTheObject) {
  auto records = [](const std::vector<std::u16string>& names) {
    std::vector<unsigned char> buffer;
    constexpr size_t kHeader = offsetof(FILE_STREAM_INFO, StreamName);
    for (size_t i = 0; i < names.size(); ++i) {
      const size_t at = buffer.size();
      const size_t length = kHeader + names[i].size() * sizeof(char16_t);
      const size_t next = i + 1 < names.size() ? (length + 7) & ~size_t{7} : 0;
      buffer.resize(at + std::max(length, next));
      FILE_STREAM_INFO header{static_cast<ULONG>(next),
                              static_cast<ULONG>(names[i].size() * sizeof(char16_t)), 1, 1, {}};
      std::memcpy(buffer.data() + at, &header, kHeader);
      std::memcpy(buffer.data() + at + kHeader, names[i].data(), names[i].size() * 2);
    }
    return buffer;
  };
  auto names_of = [](const unsigned char* buffer, size_t count) {
    std::vector<std::u16string> names;
    constexpr size_t kHeader = offsetof(FILE_STREAM_INFO, StreamName);
    for (size_t at = 0; count-- > 0;) {
      FILE_STREAM_INFO header;
      std::memcpy(&header, buffer + at, kHeader);
      std::u16string name(header.StreamNameLength / 2, u'\0');
      std::memcpy(name.data(), buffer + at + kHeader, header.StreamNameLength);
      names.push_back(name);
      at += header.NextEntryOffset;
    }
    return names;
  };
  const struct {
    std::vector<std::u16string> streams;
    std::vector<std::u16string> kept;
  } cases[] = {
      {{u"::$DATA", u":velmox.running.00000000000000aa:$DATA", u":notes:$DATA"},
       {u"::$DATA", u":notes:$DATA"}},
      {{u":velmox.private:$DATA", u":velmox.mount:$DATA"}, {}},
      {{u":velmox:$DATA", u":a:$DATA"}, {u":velmox:$DATA", u":a:$DATA"}},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> buffer = records(c.streams);
    const size_t kept = win32::DropMarkStreams(buffer.data(), buffer.size());
    EXPECT_EQ(names_of(buffer.data(), kept), c.kept);
  }
}

// The extended form (POSIX semantics, read-only ignored) first; where the
// file system refuses it, the plain form, tried once more after the
// read-only attribute is cleared where a read-only file refused it, and the
// attribute put back where that fails too.
TEST(ReadOnlyReplacementTest, ExtendedFormThenPlainFormOverReadOnly) {
  constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
  constexpr NTSTATUS kDenied = win32::kStatusAccessDenied;
  constexpr NTSTATUS kCannotDelete = win32::kStatusCannotDelete;
  constexpr NTSTATUS kRefused = win32::kStatusInvalidParameter;
  const struct {
    const char* what;
    bool may_meet_read_only;
    std::vector<NTSTATUS> answers;  // of the extended try, then the plain ones
    bool cleared;                   // what clearing the attribute returns
    NTSTATUS result;
    int tries;
    int clears;
    int restores;
  } cases[] = {
      {"extended form done", true, {0}, true, 0, 1, 0, 0},
      {"extended form fails for its own reason", true, {kSharingViolation}, true,
       kSharingViolation, 1, 0, 0},
      {"plain form done", true, {kRefused, 0}, true, 0, 2, 0, 0},
      {"not supported, then done", true, {win32::kStatusNotSupported, 0}, true, 0, 2, 0, 0},
      {"read-only file replaced", true, {kRefused, kDenied, 0}, true, 0, 3, 1, 0},
      {"read-only file deleted", true, {win32::kStatusInvalidInfoClass, kCannotDelete, 0}, true, 0,
       3, 1, 0},
      {"attribute cannot be cleared", true, {kRefused, kDenied}, false, kDenied, 2, 1, 0},
      {"still refused: attribute put back", true, {kRefused, kDenied, kSharingViolation}, true,
       kSharingViolation, 3, 1, 1},
      {"nothing replaced", false, {kRefused, kDenied}, true, kDenied, 2, 0, 0},
      {"other refusal", true, {kRefused, kSharingViolation}, true, kSharingViolation, 2, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int tries = 0;
    int clears = 0;
    int restores = 0;
    auto answer = [&] { return c.answers[static_cast<size_t>(tries++)]; };
    const NTSTATUS result = win32::ReplaceOrDelete(
        c.may_meet_read_only,
        [&] {
          EXPECT_EQ(tries, 0);
          return answer();
        },
        [&] {
          EXPECT_GT(tries, 0);
          return answer();
        },
        [&] {
          ++clears;
          return c.cleared;
        },
        [&] { ++restores; });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(tries, c.tries);
    EXPECT_EQ(clears, c.clears);
    EXPECT_EQ(restores, c.restores);
  }
}

// A file system that takes no root directory (an SMB client) is given the
// directory's full path instead; a directory no longer at that path after
// the naming makes it a file that changed under the run.
TEST(NameByPathTest, OnlyARefusedRootDirectoryFallsBackToThePath) {
  constexpr NTSTATUS kDenied = win32::kStatusAccessDenied;
  constexpr NTSTATUS kRefused = win32::kStatusInvalidParameter;
  const struct {
    NTSTATUS relative;
    NTSTATUS by_path;  // unused where it is not tried
    bool same_directory;
    NTSTATUS result;
    bool path_tried;
  } cases[] = {
      {0, 0, true, 0, false},
      {kDenied, 0, true, kDenied, false},
      {kRefused, 0, true, 0, true},
      {kRefused, kDenied, true, kDenied, true},
      {kRefused, 0, false, win32::kStatusFileInvalid, true},
  };
  for (const auto& c : cases) {
    bool path_tried = false;
    const NTSTATUS result = win32::ByHandleOrPath(
        [&] { return c.relative; },
        [&] {
          path_tried = true;
          return c.by_path;
        },
        [&] { return c.same_directory; });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(path_tried, c.path_tried);
  }
}

}  // namespace
}  // namespace vx
