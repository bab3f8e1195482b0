// What Wine cannot show: reparse tags of real Windows volumes, and a
// read-only file refusing to be replaced whatever the privileges.
#include <gtest/gtest.h>

#include <vector>

#include "platform/replace-win32.h"

namespace vx {
namespace {

// Tags as the Windows documentation lists them.
TEST(ReparseTagTest, OnlyNameSurrogatesAreLinks) {
  const struct {
    ULONG tag;
    bool link;
  } cases[] = {
      {0xA000000C, true},   // IO_REPARSE_TAG_SYMLINK
      {0xA0000003, true},   // IO_REPARSE_TAG_MOUNT_POINT (junctions, mounted volumes)
      {0x80000013, false},  // IO_REPARSE_TAG_DEDUP
      {0x80000017, false},  // IO_REPARSE_TAG_WOF
      {0x9000001A, false},  // IO_REPARSE_TAG_CLOUD_6
      {0x8000001B, false},  // IO_REPARSE_TAG_APPEXECLINK
      {0x80000014, false},  // IO_REPARSE_TAG_NFS
  };
  for (const auto& c : cases)
    EXPECT_EQ(win32::IsNameSurrogateTag(c.tag), c.link) << std::hex << c.tag;
}

// The rename is tried again once, after the read-only attribute is cleared,
// and only where a file is being replaced and the refusal was access denied.
TEST(ReadOnlyReplacementTest, ClearedAndRenamedOnceMore) {
  constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
  const struct {
    const char* what;
    bool replace;
    std::vector<NTSTATUS> answers;  // of the renames, in turn
    bool cleared;                   // what clearing the attribute returns
    NTSTATUS result;
    int renames;
    int clears;
  } cases[] = {
      {"read-only file replaced", true, {win32::kStatusAccessDenied, 0}, true, 0, 2, 1},
      {"attribute cannot be cleared",
       true,
       {win32::kStatusAccessDenied},
       false,
       win32::kStatusAccessDenied,
       1,
       1},
      {"still refused",
       true,
       {win32::kStatusAccessDenied, win32::kStatusAccessDenied},
       true,
       win32::kStatusAccessDenied,
       2,
       1},
      {"nothing replaced",
       false,
       {win32::kStatusAccessDenied},
       true,
       win32::kStatusAccessDenied,
       1,
       0},
      {"other refusal", true, {kSharingViolation}, true, kSharingViolation, 1, 0},
      {"first try", true, {0}, true, 0, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int renames = 0;
    int clears = 0;
    const NTSTATUS result = win32::OverReadOnly(
        c.replace, [&] { return c.answers[static_cast<size_t>(renames++)]; },
        [&] {
          ++clears;
          return c.cleared;
        });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(renames, c.renames);
    EXPECT_EQ(clears, c.clears);
  }
}

}  // namespace
}  // namespace vx
