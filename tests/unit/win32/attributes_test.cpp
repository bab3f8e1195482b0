// /Attributes on Windows: read-only, hidden and system survive the copy of
// a file and a directory, and a read-only copy is replaced on a rerun.
#include <gtest/gtest.h>

#include "copy_fixture.h"
// clang-format off
#include <windows.h>
// clang-format on

namespace vx {
namespace {

class AttributesTest : public testing::WalkFixture {};

TEST_F(AttributesTest, AttributesSurviveTheCopyAndAReadOnlyCopyIsReplaced) {
  scratch_.MakeDir(u"src/sub");
  scratch_.Write(u"src/sub/desktop.ini", "[.ShellClassInfo]");
  const auto file = scratch_.Fs(u"src/sub/desktop.ini");
  const auto directory = scratch_.Fs(u"src/sub");
  constexpr ::DWORD kFileAttributes =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), kFileAttributes));
  ASSERT_TRUE(::SetFileAttributesW(directory.c_str(), FILE_ATTRIBUTE_HIDDEN));
  Settings.Attributes = 1;
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0);
  constexpr ::DWORD kCarried = kFileAttributes;
  EXPECT_EQ(::GetFileAttributesW(scratch_.Fs(u"dst/sub/desktop.ini").c_str()) & kCarried,
            kFileAttributes);
  EXPECT_NE(::GetFileAttributesW(scratch_.Fs(u"dst/sub").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

  // The source changes; the read-only copy is replaced, and read-only again.
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  scratch_.Write(u"src/sub/desktop.ini", "[.ShellClassInfo]\nIconIndex=1");
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), kFileAttributes));
  Settings.Overwrite = 1;
  Counters = RunCounters{};
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0);
  EXPECT_EQ(scratch_.Read(u"dst/sub/desktop.ini"), "[.ShellClassInfo]\nIconIndex=1");
  EXPECT_EQ(::GetFileAttributesW(scratch_.Fs(u"dst/sub/desktop.ini").c_str()) & kCarried,
            kFileAttributes);
  ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::SetFileAttributesW(scratch_.Fs(u"dst/sub/desktop.ini").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Attributes changed at the source without new data reach the copy on an
// /OnlyNewer rerun, in place; the data is not copied again.
TEST_F(AttributesTest, AttributesChangedWithoutNewDataAreCarriedInPlace) {
  scratch_.Write(u"src/notes.txt", "notes");
  Settings.Attributes = 1;
  Settings.OnlyNewer = 1;
  EXPECT_EQ(Walk(), 1);
  const auto source = scratch_.Fs(u"src/notes.txt");
  const auto copy = scratch_.Fs(u"dst/notes.txt");
  EXPECT_EQ(::GetFileAttributesW(copy.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  ASSERT_TRUE(::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_HIDDEN));
  Counters = RunCounters{};
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
  EXPECT_EQ(Counters.NewerCount + Counters.NewCount, 0);
  EXPECT_NE(::GetFileAttributesW(copy.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  ::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace vx
