// A file read to its end is looked at again: what changed since shows (its
// size and write time, for the check that a source did not change while
// copied), while its access time stays the one from before the read. A
// handle made in the memory of one closed before starts as a new one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/platform.h"
#include "platform/utf8.h"
#include "scratch.h"

namespace vx {
namespace {

constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

int64_t Ticks(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

void SetTimes(const std::string& path, time_t access, time_t write) {
  const struct timespec times[2] = {{access, 0}, {write, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(ReadLookTest, AFileReadToItsEndShowsWhatChangedSinceAndKeepsItsAccessTime) {
  testing::Scratch scratch;
  const std::string path = scratch.Fs(u"a").string();
  const time_t access = 1600000000;
  const time_t write = 1600001000;
  // The second round's handle is made in the memory the first one's left.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    scratch.Write(u"a", std::string(100, 'x'));
    SetTimes(path, access, write);
    HANDLE file = Os().CreateFileW(scratch.Path(u"a").c_str(), GENERIC_READ, 7, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(Os().GetFileInformationByHandle(file, &info));
    EXPECT_EQ(info.nFileSizeLow, 100u);
    char buffer[200];
    DWORD read = 0;
    ASSERT_TRUE(Os().ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 100u);
    // Meanwhile another writer appends, and the file is read elsewhere.
    scratch.Write(u"a", std::string(110, 'y'));
    SetTimes(path, access + 500, write + 500);
    ASSERT_TRUE(Os().GetFileInformationByHandle(file, &info));
    EXPECT_EQ(info.nFileSizeLow, 110u);
    EXPECT_EQ(Ticks(info.ftLastWriteTime), (write + 500) * 10000000LL + kUnixEpochTicks);
    EXPECT_EQ(Ticks(info.ftLastAccessTime), access * 10000000LL + kUnixEpochTicks);
    ASSERT_TRUE(Os().CloseHandle(file));
  }
}

// A file opened by name is opened only when its bytes are first read: the
// name kept until then is the one given, whatever its length (an entry's
// longest, a whole path longer than any entry's, a short one after a long
// one in the same handle memory).
TEST(ReadLookTest, AnOpenLeftForLaterReachesTheNamedFileWhateverTheNameLength) {
  testing::Scratch scratch;
  const std::u16string longest(255, u'n');
  const std::u16string deep = std::u16string(100, u'd') + u"/" + std::u16string(100, u'e') +
                              u"/" + std::u16string(100, u'f');
  const struct {
    std::u16string directory;  // opened by name relative to it; empty: a whole path
    std::u16string name;
  } cases[] = {
      {u"x", longest},
      {u"", deep},
      {u"x", u"a"},
      {u"", u"x/a"},
  };
  scratch.Write(u"x/" + longest, "longest");
  scratch.Write(deep, "deep");
  scratch.Write(u"x/a", "short");
  for (const auto& c : cases) {
    SCOPED_TRACE(EncodeFileName(c.name).substr(0, 20));
    const std::u16string relative = c.directory.empty() ? c.name : c.directory + u"/" + c.name;
    HANDLE directory = INVALID_HANDLE_VALUE;
    HANDLE file;
    if (c.directory.empty()) {
      file = Os().CreateFileW(scratch.Path(c.name).c_str(), GENERIC_READ, 7, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    } else {
      directory = Os().CreateFileW(scratch.Path(c.directory).c_str(), GENERIC_READ, 7, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      ASSERT_NE(directory, INVALID_HANDLE_VALUE);
      file = Os().CreateFileAtW(directory, c.name.c_str(), GENERIC_READ, 7, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS);
    }
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[32];
    DWORD read = 0;
    ASSERT_TRUE(Os().ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), scratch.Read(relative));
    ASSERT_TRUE(Os().CloseHandle(file));
    if (directory != INVALID_HANDLE_VALUE) {
      ASSERT_TRUE(Os().CloseHandle(directory));
    }
  }
}

}  // namespace
}  // namespace vx
