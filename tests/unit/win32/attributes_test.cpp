// /Attributes on Windows: read-only, hidden and system survive the copy of
// a file and a directory, and a read-only copy is replaced on a rerun.
#include <gtest/gtest.h>

#include "copy_fixture.h"
#include "fault_injection.h"
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

// A read-only file never sticks: /Mirror removes a read-only extra, a
// read-only temporary copy whose rename failed is removed, and a read-only
// copy that cannot be replaced (another program holds it open without
// sharing) stays exactly as it was, read-only included.
TEST_F(AttributesTest, ReadOnlyFilesAreRemovedOrKeptWhole) {
  constexpr ::DWORD kReadOnly = FILE_ATTRIBUTE_READONLY;
  auto read_only = [&](const char16_t* path) {
    return (::GetFileAttributesW(scratch_.Fs(path).c_str()) & kReadOnly) != 0;
  };
  scratch_.Write(u"src/a", "new");
  ASSERT_TRUE(::SetFileAttributesW(scratch_.Fs(u"src/a").c_str(), kReadOnly));
  scratch_.Write(u"dst/extra", "extra");
  ASSERT_TRUE(::SetFileAttributesW(scratch_.Fs(u"dst/extra").c_str(), kReadOnly));
  Settings.Attributes = 1;
  Settings.Mirror = 1;
  {
    testing::FaultInjector faults;
    faults.Add(testing::Fault{testing::Call::kMoveFileW, 1, Frag(u"dst/a"), 5});
    EXPECT_EQ(Walk(), 1);
  }
  EXPECT_FALSE(scratch_.Exists(u"dst/extra")) << ErrorLog();
  EXPECT_FALSE(scratch_.Exists(u"dst/a"));
  EXPECT_EQ(Counters.ErrorCount, 1);
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(scratch_.Fs(u"dst"))) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_TRUE(left.empty()) << left.front();

  // Copied; then the source changes while the copy is held open.
  Counters = RunCounters{};
  EXPECT_EQ(Walk(), 1);
  ASSERT_TRUE(read_only(u"dst/a"));
  ASSERT_TRUE(::SetFileAttributesW(scratch_.Fs(u"src/a").c_str(), FILE_ATTRIBUTE_NORMAL));
  scratch_.Write(u"src/a", "newer");
  ASSERT_TRUE(::SetFileAttributesW(scratch_.Fs(u"src/a").c_str(), kReadOnly));
  HANDLE held = ::CreateFileW(scratch_.Fs(u"dst/a").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Settings.Overwrite = 1;
  Counters = RunCounters{};
  Walk();
  ::CloseHandle(held);
  if (Counters.ErrorCount != 0) {
    EXPECT_EQ(scratch_.Read(u"dst/a"), "new");
    EXPECT_TRUE(read_only(u"dst/a"));
  } else {
    EXPECT_EQ(scratch_.Read(u"dst/a"), "newer");  // the system let the name go
  }
  ::SetFileAttributesW(scratch_.Fs(u"src/a").c_str(), FILE_ATTRIBUTE_NORMAL);
  ::SetFileAttributesW(scratch_.Fs(u"dst/a").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace vx
