// /Files: and /Files0:: lists read as written (lines or NUL records, CR LF,
// bytes that are not UTF-8), and runs that copy only what a list names,
// with the directories on the way, on both builds.
#include "copy/walk/file_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_injection.h"
#include "run_fixture.h"

namespace vx {
namespace {

using testing::ErrLine;
using testing::RunVelmox;

std::u16string Below(std::initializer_list<std::u16string_view> parts) {
  std::u16string path;
  for (std::u16string_view part : parts) {
    if (!path.empty()) path.push_back(kPathSeparator);
    path.append(part);
  }
  return path;
}

TEST(FileListTest, RecordsAreReadAsWritten) {
  const struct {
    std::string bytes;
    bool nul;
    std::vector<std::u16string> listed;  // as spelled, sorted
    size_t bad_record;                   // 0: the list is taken
  } cases[] = {
      {"a/b\r\n./c/\n\n//d//e\n", false, {Below({u"a", u"b"}), u"c", Below({u"d", u"e"})}, 0},
      {std::string("x\ny\0z\0", 6), true, {u"x\ny", u"z"}, 0},
      {"caf\xe9\n\xc3\xa9t\xc3\xa9\n", false, {u"caf\xdce9", u"\u00e9t\u00e9"}, 0},
      {"ok\nsub/../etc\n", false, {}, 2},
      {"./\n", false, {}, 1},
  };
  for (const auto& c : cases) {
    FileList list;
    size_t bad = 0;
    EXPECT_EQ(ParseFileList(c.bytes, c.nul, &list, &bad), c.bad_record == 0) << c.bytes;
    if (c.bad_record != 0) {
      EXPECT_EQ(bad, c.bad_record);
      continue;
    }
    EXPECT_EQ(Unmet(list), c.listed) << c.bytes;
  }
}

TEST(FileListTest, AListedDirectoryTakesWhatIsBelowItAndItsWayIsPassedOn) {
  FileList list;
  size_t bad = 0;
  ASSERT_TRUE(ParseFileList("top/mid/leaf\nwhole\n", false, &list, &bad));
  EXPECT_EQ(AskList(&list, u"top"), ListSays::kPassOn);
  EXPECT_EQ(AskList(&list, Below({u"top", u"mid"})), ListSays::kPassOn);
  EXPECT_EQ(AskList(&list, Below({u"top", u"other"})), ListSays::kLeave);
  EXPECT_EQ(AskList(&list, Below({u"top", u"mid", u"leaf"})), ListSays::kListed);
  EXPECT_EQ(AskList(&list, u"whole"), ListSays::kListed);
  EXPECT_EQ(AskList(&list, Below({u"whole", u"deep", u"x"})), ListSays::kBelowListed);
  EXPECT_EQ(AskList(&list, u"wholesale"), ListSays::kLeave);
  EXPECT_TRUE(Unmet(list).empty());

  // Paths added one by one (a restore's taken paths) say the same; one
  // that can never name an entry is refused and adds nothing.
  FileList added;
  added.active = true;
  EXPECT_TRUE(AddListed(&added, Below({u"top", u"mid", u"leaf"})));
  EXPECT_TRUE(AddListed(&added, u"whole"));
  EXPECT_FALSE(AddListed(&added, Below({u"top", u"..", u"escape"})));
  EXPECT_EQ(added.listed, list.listed);
  EXPECT_EQ(added.on_the_way, list.on_the_way);
}

class FilesRunTest : public testing::RunFixture {
 protected:
  void SetUp() override {
    for (const char16_t* file : {u"src/top.txt", u"src/a/x.txt", u"src/a/other", u"src/b/1",
                                 u"src/b/sub/2", u"src/c/deep/y", u"src/c/other"}) {
      scratch_.Write(file, "data");
    }
    scratch_.Write(u"list", "a/x.txt\r\nb\n./c/deep/y\nmissing/z\n");
  }
  std::vector<std::u16string> Copied() {
    std::vector<std::u16string> copied;
    for (const char16_t* file : {u"dst/top.txt", u"dst/a/x.txt", u"dst/a/other", u"dst/b/1",
                                 u"dst/b/sub/2", u"dst/c/deep/y", u"dst/c/other"}) {
      if (scratch_.Exists(file)) copied.emplace_back(file);
    }
    return copied;
  }
};

// Only what the list names, and the directories on the way; a listed
// directory whole with /SubDirectories; a listed entry the source lacks is
// one error, never a silent gap.
TEST_F(FilesRunTest, OnlyListedEntriesAreCopiedAndAMissingOneIsAnError) {
  EXPECT_EQ(Run({u"/Files:" + scratch_.Path(u"list")}), 1);
  EXPECT_EQ(Copied(), (std::vector<std::u16string>{u"dst/a/x.txt", u"dst/b/1", u"dst/b/sub/2",
                                                   u"dst/c/deep/y"}));
  EXPECT_EQ(scratch_.Read(u"run.err"),
            ErrLine(1, Prepared(u"src") + kPathSeparator + Below({u"missing", u"z"}),
                    u"CopyOneDirectory:FileList(SOURCE)", ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Lines("Files                     : ").size(), 1u);

  // Without /SubDirectories the list still leads the way, and a listed
  // directory gives its own files.
  std::filesystem::remove_all(scratch_.Fs(u"dst"));
  EXPECT_EQ(RunVelmox({u"/Source:" + scratch_.Path(u"src"), u"/Dest:" + scratch_.Path(u"dst"),
                       u"/CreateDestinationDirectory", u"/Silent",
                       u"/Files0:" + scratch_.Path(u"list0")}),
            -1);  // no such list: the run does not start
  scratch_.Write(u"list0", std::string("a/x.txt\0b\0c/deep/y\0", 20));
  EXPECT_EQ(RunVelmox({u"/Source:" + scratch_.Path(u"src"), u"/Dest:" + scratch_.Path(u"dst"),
                       u"/CreateDestinationDirectory", u"/Silent",
                       u"/Files0:" + scratch_.Path(u"list0")}),
            0);
  EXPECT_EQ(Copied(),
            (std::vector<std::u16string>{u"dst/a/x.txt", u"dst/b/1", u"dst/c/deep/y"}));

  EXPECT_EQ(Run({u"/Files:" + scratch_.Path(u"list"), u"/Mirror"}), -1);

  // Runs of several lists share directories: one never removes the files
  // another is writing under temporary names; a whole run does. The owner
  // stands in through the seam (Wine shows every file as another's).
  const char16_t kInTheMaking[] = u"dst/b/.velmox~0123456789abcdef.tmp";
  scratch_.Write(kInTheMaking, "another run's");
  testing::FaultInjector faults;
  faults.StandInOwners(u".velmox~0123456789abcdef.tmp", u"");
  EXPECT_EQ(Run({u"/Files:" + scratch_.Path(u"list")}), 1);
  EXPECT_TRUE(scratch_.Exists(kInTheMaking));
  // Once that run is known to have been cut (its mark stays, its lock gone).
  faults.StandInMarks();
  faults.Marks()[Prepared(u"dst") + kPathSeparator + u"running.00000000000000aa"] =
      std::string("\x01\0\0\0\0\0\0\0", 8);
  EXPECT_EQ(Run({}), 0);
  EXPECT_FALSE(scratch_.Exists(kInTheMaking));
}

}  // namespace
}  // namespace vx
