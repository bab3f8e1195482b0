// A listing on a volume whose looks are slow looks at many entries at once;
// what it says of each entry is what a listing one at a time says.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/posix/entry_looks.h"
#include "platform/posix/internal.h"
#include "scratch.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

using Record = std::tuple<DWORD, int64_t, int64_t>;  // attributes, size, write time

// Opens the directory at `path` for listing, its volume taken for slow or
// quick; `status` is set to the directory's.
HANDLE OpenJudged(const std::u16string& path, bool slow, posix::Status* status) {
  HANDLE directory = Os().CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, 7, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  EXPECT_NE(directory, INVALID_HANDLE_VALUE);
  status->valid = posix::StatusOf(directory) != nullptr;
  if (status->valid) status->sx = *posix::StatusOf(directory);
  posix::JudgeLooks(*status, slow);
  return directory;
}

// Hands each record of the directory's listing, in its order, to `take`
// with its name.
template <typename Take>
void ListEach(HANDLE directory, Take take) {
  alignas(8) unsigned char buffer[4096];
  for (BOOLEAN restart = 1;; restart = 0) {
    IO_STATUS_BLOCK io = {};
    const NTSTATUS listed = posix::NtQueryDirectoryFile(
        directory, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, FileDirectoryInformation,
        1, nullptr, restart);
    if (listed != STATUS_SUCCESS) {
      EXPECT_EQ(listed, STATUS_NO_MORE_FILES);
      return;
    }
    const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer);
    take(std::u16string(reinterpret_cast<const char16_t*>(record->FileName),
                        record->FileNameLength / sizeof(char16_t)),
         *record);
  }
}

// Every record of the directory's listing, by name; how many looks it was
// allowed at once, and whether its volume is taken for slow.
std::map<std::u16string, Record> ListAll(const std::u16string& path, DWORD at_once, bool slow) {
  Os().SetLooksAtOnce(at_once);
  posix::Status status;
  HANDLE directory = OpenJudged(path, slow, &status);
  std::map<std::u16string, Record> records;
  ListEach(directory, [&](const std::u16string& name, const FILE_DIRECTORY_INFORMATION& record) {
    records[name] = Record{record.FileAttributes, record.EndOfFile, record.LastWriteTime};
  });
  // Later looks on this volume one at a time again, as the other tests expect.
  posix::JudgeLooks(status, false);
  Os().SetLooksAtOnce(1);
  Os().CloseHandle(directory);
  return records;
}

TEST(EntryLooksTest, LooksTakenManyAtOnceSayWhatOneAtATimeSays) {
  testing::Scratch scratch;
  // More entries than one listing buffer holds and than are looked at in
  // one go, with names of many lengths, and every kind a look tells apart.
  for (int i = 0; i < 300; ++i) {
    scratch.Write(u"d/" + std::u16string(static_cast<size_t>(1 + i % 40), u'n') + u"-" +
                      std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) +
                      std::u16string(1, static_cast<char16_t>(u'0' + i / 26 % 10)) +
                      std::u16string(1, static_cast<char16_t>(u'0' + i / 260)),
                  std::string(static_cast<size_t>(i), 'x'));
  }
  scratch.MakeDir(u"d/sub");
  fs::create_symlink("sub", scratch.Fs(u"d/to-directory"));
  fs::create_symlink(scratch.Fs(u"d/n-a00"), scratch.Fs(u"d/to-file"));
  fs::create_symlink("nowhere", scratch.Fs(u"d/dangling"));
  ASSERT_EQ(mkfifo(scratch.Fs(u"d/fifo").c_str(), 0600), 0);

  const std::map<std::u16string, Record> one_at_a_time = ListAll(scratch.Path(u"d"), 1, false);
  ASSERT_EQ(one_at_a_time.size(), 300u + 7u);  // "." and ".." too
  const struct {
    const char* what;
    DWORD at_once;
    bool slow;
  } cases[] = {
      {"a slow volume, eight at once", 8, true},
      {"a slow volume, two at once", 2, true},
      {"a slow volume, one at a time as asked", 1, true},
      {"a quick volume", 8, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ListAll(scratch.Path(u"d"), c.at_once, c.slow), one_at_a_time);
  }
  // The kinds, as a listing one at a time tells them.
  EXPECT_EQ(std::get<0>(one_at_a_time.at(u"to-directory")),
            DWORD{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT});
  EXPECT_EQ(std::get<0>(one_at_a_time.at(u"to-file")), DWORD{FILE_ATTRIBUTE_REPARSE_POINT});
  EXPECT_EQ(std::get<0>(one_at_a_time.at(u"dangling")), DWORD{FILE_ATTRIBUTE_REPARSE_POINT});
  EXPECT_EQ(std::get<0>(one_at_a_time.at(u"fifo")), DWORD{FILE_ATTRIBUTE_DEVICE});
  EXPECT_EQ(std::get<1>(one_at_a_time.at(u"n-a00")), 0);
}

// A close of a file only read, on a volume whose round trips are slow, is
// left to a looker; any other close is the caller's own, at once.
TEST(EntryLooksTest, OnlyAFileReadOnASlowVolumeIsClosedByALooker) {
  testing::Scratch scratch;
  for (const char16_t* name : {u"d/file", u"d/b", u"d/c", u"d/d"}) scratch.Write(name, "data");
  // Lookers are started by a listing that looks many at once.
  const size_t listed = ListAll(scratch.Path(u"d"), 4, true).size();
  ASSERT_EQ(listed, 6u);
  posix::Status volume;
  const int file = open(scratch.Fs(u"d/file").c_str(), O_RDONLY);
  ASSERT_GE(file, 0);
  volume.valid = statx(file, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &volume.sx) == 0;
  ASSERT_TRUE(volume.valid);
  close(file);
  auto is_open = [](int fd) { return fcntl(fd, F_GETFD) != -1; };
  const struct {
    const char* what;
    DWORD at_once;
    bool slow;
    bool closed_later;
  } cases[] = {
      {"a slow volume with lookers", 4, true, true},
      {"a quick volume", 4, false, false},
      {"a slow volume, one at a time as asked", 1, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Os().SetLooksAtOnce(c.at_once);
    posix::JudgeLooks(volume, c.slow);
    // Several in a row, as copiers hand them over: none is left waiting.
    std::vector<int> fds;
    for (int i = 0; i < 8; ++i) {
      const int fd = open(scratch.Fs(u"d/file").c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      fds.push_back(fd);
      EXPECT_EQ(posix::CloseLater(fd, volume), c.closed_later);
      if (!c.closed_later) {
        EXPECT_TRUE(is_open(fd));
        close(fd);
      }
    }
    posix::WaitForCloses();
    for (const int fd : fds) EXPECT_FALSE(is_open(fd));
  }

  // Through the handles: only the one opened for reading is handed over;
  // one opened for writing is closed, and says how its close went, at once.
  Os().SetLooksAtOnce(4);
  HANDLE directory = OpenJudged(scratch.Path(u"d"), true, &volume);
  ASSERT_NE(directory, INVALID_HANDLE_VALUE);
  for (const DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
    SCOPED_TRACE(access == GENERIC_READ ? "read" : "written");
    HANDLE handle = Os().CreateFileAtW(directory, u"file", access, 7, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    const int fd = posix::DescriptorOf(handle);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Os().CloseHandle(handle), 1);
    if (access != GENERIC_READ) {
      EXPECT_FALSE(is_open(fd));
    }
    posix::WaitForCloses();
    EXPECT_FALSE(is_open(fd));
  }
  Os().CloseHandle(directory);
  posix::JudgeLooks(volume, false);
  Os().SetLooksAtOnce(1);
}

// A file handed to a worker is opened some way behind its listing: with
// several copiers the directory's handle keeps the looks of that many
// entries from the run's start, so the open takes the listing's look
// rather than one of its own. Which it took shows once the file is gone:
// the listing's look still answers, a look of its own finds nothing.
TEST(EntryLooksTest, AFileOpenedBehindItsListingTakesTheListingsLook) {
  testing::Scratch scratch;
  constexpr int kFiles = 600;
  for (int i = 0; i < kFiles; ++i) {
    std::u16string name = u"d/f";
    for (const char digit : std::to_string(i)) name += static_cast<char16_t>(digit);
    scratch.Write(name, "x");
  }
  const struct {
    DWORD copiers;
    size_t behind;  // entries listed after the one opened
    bool from_listing;
  } cases[] = {
      {1, 10, true}, {1, 100, false}, {2, 300, true}, {2, 500, false}, {8, 590, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.copiers << " copiers, " << c.behind << " behind");
    Os().SetLooksAtOnce(c.copiers);
    posix::Status volume;
    HANDLE directory = OpenJudged(scratch.Path(u"d"), false, &volume);
    std::vector<std::u16string> names;
    ListEach(directory, [&](const std::u16string& name, const FILE_DIRECTORY_INFORMATION&) {
      if (name != u"." && name != u"..") names.push_back(name);
    });
    ASSERT_EQ(names.size(), size_t{kFiles});
    const std::u16string& opened = names[names.size() - 1 - c.behind];
    ASSERT_EQ(unlink(scratch.Fs(u"d/" + opened).c_str()), 0);
    HANDLE handle = Os().CreateFileAtW(directory, opened.c_str(), GENERIC_READ, 7, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS);
    EXPECT_EQ(handle != INVALID_HANDLE_VALUE, c.from_listing);
    if (handle != INVALID_HANDLE_VALUE) Os().CloseHandle(handle);
    Os().CloseHandle(directory);
    scratch.Write(u"d/" + opened, "x");
  }
  Os().SetLooksAtOnce(1);
}

}  // namespace
}  // namespace vx
