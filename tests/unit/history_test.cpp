// Keeping what a run replaces and removes: the run folders' names, and what
// a volume without hard links or a refused move leaves, on both builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "copy/replica/as_of.h"
#include "copy/replica/history.h"
#include "fault_injection.h"
#include "run_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::Fault;
using testing::FaultInjector;

constexpr uint64_t kTicksPerSecond = 10000000;
// 2026-12-09T02:00:00Z in FILETIME ticks.
constexpr uint64_t kNight = 13441255200ull * kTicksPerSecond;

TEST(RunFolderTest, NamesReadBackAsTheirStart) {
  const struct {
    uint64_t ticks;
    const char16_t* name;
  } rows[] = {
      {kNight, u"2026-12-09T020000Z"},
      {kNight + 59 * kTicksPerSecond + 9999999, u"2026-12-09T020059Z"},  // to the second
      {kNight - 70 * 86400 * kTicksPerSecond, u"2026-09-30T020000Z"},
      {13380163199ull * kTicksPerSecond, u"2024-12-31T235959Z"},
      {13353638400ull * kTicksPerSecond, u"2024-02-29T000000Z"},  // a leap day
  };
  for (const auto& row : rows) {
    EXPECT_EQ(RunFolderName(row.ticks), row.name);
    uint64_t start = 0;
    ASSERT_TRUE(RunFolderStart(row.name, &start));
    EXPECT_EQ(start, row.ticks / kTicksPerSecond * kTicksPerSecond);
    ASSERT_TRUE(RunFolderStart(std::u16string(row.name) + u"-12.json", &start));
    EXPECT_EQ(start, row.ticks / kTicksPerSecond * kTicksPerSecond);
  }
  uint64_t start = 0;
  for (const char16_t* other : {u"2026-12-09T02:00:00Z", u"2026-13-09T020000Z",
                                u"2026-12-09T020000Z-", u"2026-12-09T020000Z-x", u"notes.json",
                                u"2026-12-09T020000", u"2026-12-09T246000Z"}) {
    EXPECT_FALSE(RunFolderStart(other, &start)) << testing::Bytes(other);
  }
}

// The times an operator types, and what is refused.
TEST(AsOfTest, TimesReadAsTheyAreTyped) {
  const struct {
    const char16_t* typed;
    uint64_t ticks;  // 0: refused
  } rows[] = {
      {u"2026-12-09T020000Z", kNight},
      {u"2026-12-09T02:00:00Z", kNight},
      {u"2026-12-09T02:00:00.125Z", kNight + 1250000},
      {u"2026-12-09T02:00Z", 0},
      {u"2026-12-09 02:00:00", 0},
      {u"yesterday", 0},
  };
  for (const auto& row : rows) {
    uint64_t ticks = 0;
    EXPECT_EQ(TimeFromText(row.typed, &ticks), row.ticks != 0) << testing::Bytes(row.typed);
    if (row.ticks != 0) {
      EXPECT_EQ(ticks, row.ticks) << testing::Bytes(row.typed);
    }
  }
}

// A manifest as the run writes it reads back, escapes and all; for each
// path the first run after the time decides.
TEST(AsOfTest, TheFirstRunAfterTheTimeDecides) {
  ManifestRun first;
  ASSERT_TRUE(ParseManifest(
      "{\"start\":\"2026-12-09T02:00:00.000Z\",\"run\":\"2026-12-09T020000Z\"}\n"
      "{\"path\":\"a\",\"change\":\"replaced\",\"kind\":\"file\",\"size\":1,\"write\":\"x\"}\n"
      "{\"path\":\"sub\\\\q\\\"\\u0001\xc3\xa9\",\"change\":\"removed\",\"kind\":\"file\"}\n"
      "{\"path\":\"made\",\"change\":\"new\",\"kind\":\"directory\"}\n"
      "{\"path\":\"\",\"change\":\"times\",\"kind\":\"directory\",\"times\":[1,2,3]}\n"
      // Never a place outside the destination, nor the root but for its times.
      "{\"path\":\"../etc\",\"change\":\"times\",\"kind\":\"directory\",\"times\":[1,2,3]}\n"
      "{\"path\":\"a/../../b\",\"change\":\"replaced\",\"kind\":\"file\"}\n"
      "{\"path\":\"\",\"change\":\"removed\",\"kind\":\"directory\"}\n"
      "{\"end\":\"2026-12-09T02:01:00.000Z\",\"exit\":0}\n",
      &first));
  first.name = u"2026-12-09T020000Z";
  EXPECT_EQ(first.start, kNight);
  ASSERT_EQ(first.entries.size(), 4u);
  EXPECT_EQ(first.entries[1].path, u"sub\\q\"\u0001\u00e9");
  EXPECT_EQ(first.entries[3].times[2].dwLowDateTime, 3u);
  ManifestRun second{kNight + 86400 * kTicksPerSecond, u"2026-12-10T020000Z",
                     {{u"a", Change::kRemoved, {}}, {u"made", Change::kRemoved, {}},
                      {u"b", Change::kNew, {}}, {u"", Change::kTimes, {{9, 0}, {9, 0}, {9, 0}}}}};
  const std::vector<ManifestRun> runs = {first, second};

  AsOfPlan before_both = DecideAsOf(runs, kNight - 1);
  ASSERT_EQ(before_both.taken.size(), 1u);  // all from the first night
  EXPECT_EQ(before_both.taken[0].folder, u"2026-12-09T020000Z");
  EXPECT_EQ(before_both.taken[0].paths, (std::vector<std::u16string>{u"a", first.entries[1].path}));
  EXPECT_EQ(before_both.left_out, (std::vector<std::u16string>{u"made", u"b"}));
  ASSERT_EQ(before_both.directory_times.size(), 1u);
  EXPECT_EQ(before_both.directory_times[0].times[0].dwLowDateTime, 1u);

  AsOfPlan between = DecideAsOf(runs, kNight + 1);
  ASSERT_EQ(between.taken.size(), 1u);
  EXPECT_EQ(between.taken[0].folder, u"2026-12-10T020000Z");
  EXPECT_EQ(between.taken[0].paths, (std::vector<std::u16string>{u"a", u"made"}));
  EXPECT_EQ(between.left_out, (std::vector<std::u16string>{u"b"}));

  AsOfPlan after_both = DecideAsOf(runs, kNight + 86400 * kTicksPerSecond);
  EXPECT_TRUE(after_both.taken.empty() && after_both.left_out.empty() &&
              after_both.directory_times.empty());
}

class HistoryFaultTest : public testing::RunFixture {
 protected:
  int Night(std::vector<std::u16string> more = {}) {
    more.insert(more.begin(), {u"/Mirror", u"/History:" + scratch_.Path(u"hist")});
    return Run(more);
  }
  // The one run folder's path, or empty.
  std::filesystem::path RunFolder() {
    std::filesystem::path found;
    for (const auto& entry : std::filesystem::directory_iterator(scratch_.Fs(u"hist"))) {
      if (entry.is_directory()) found = entry.path();
    }
    return found;
  }
  void Later(std::u16string_view relative, const std::string& data) {
    scratch_.Write(relative, data);
    std::filesystem::last_write_time(scratch_.Fs(relative),
                                     std::filesystem::file_time_type::clock::now() +
                                         std::chrono::hours(1));
  }
};

// Where the volume makes no hard links the old version is moved away just
// before the new one takes its name: both are whole.
TEST_F(HistoryFaultTest, WithoutHardLinksTheOldVersionIsMovedAway) {
  scratch_.Write(u"src/a", "old");
  ASSERT_EQ(Night(), 0) << scratch_.Read(u"run.err");
  Later(u"src/a", "new");
  FaultInjector faults;
  faults.Add(Fault{Call::kCreateHardLinkW, 1, u"", ERROR_NOT_SUPPORTED});
  ASSERT_EQ(Night(), 0) << scratch_.Read(u"run.err");
  EXPECT_EQ(scratch_.Read(u"dst/a"), "new");
  EXPECT_EQ(testing::ReadWholeFile(RunFolder() / "a"), "old");
}

// A history on another volume than a version gets a copy, and the version
// then goes: said once.
TEST_F(HistoryFaultTest, AnotherVolumeGetsCopies) {
  scratch_.Write(u"src/a", "old");
  scratch_.Write(u"src/b", "b");
  ASSERT_EQ(Night(), 0) << scratch_.Read(u"run.err");
  const auto b_written = std::filesystem::last_write_time(scratch_.Fs(u"dst/b"));
  Later(u"src/a", "new");
  std::filesystem::remove(scratch_.Fs(u"src/b"));
  FaultInjector faults;
  faults.Add(Fault{Call::kCreateHardLinkW, 1, u"", ERROR_NOT_SAME_DEVICE});
  faults.Add(Fault{Call::kMoveEntryW, 1, u"", ERROR_NOT_SAME_DEVICE});
  ASSERT_EQ(Night(), 0) << scratch_.Read(u"run.err");
  EXPECT_EQ(scratch_.Read(u"dst/a"), "new");
  EXPECT_FALSE(std::filesystem::exists(scratch_.Fs(u"dst/b")));
  EXPECT_EQ(testing::ReadWholeFile(RunFolder() / "a"), "old");
  EXPECT_EQ(testing::ReadWholeFile(RunFolder() / "b"), "b");
  EXPECT_EQ(std::filesystem::last_write_time(RunFolder() / "b"), b_written);
  EXPECT_EQ(Lines("NOTE").size(), 1u);
}

// A name that becomes one more name of its hard-link group's copy keeps the
// file it held.
TEST_F(HistoryFaultTest, ANameJoiningItsGroupKeepsWhatItHeld) {
  scratch_.Write(u"src/a", "same");
  std::filesystem::create_hard_link(scratch_.Fs(u"src/a"), scratch_.Fs(u"src/b"));
  ASSERT_EQ(Night({u"/HardLinks"}), 0) << scratch_.Read(u"run.err");
  std::filesystem::remove(scratch_.Fs(u"dst/b"));
  scratch_.Write(u"dst/b", "its own");
  std::filesystem::create_hard_link(scratch_.Fs(u"dst/a"), scratch_.Fs(u"a-before"));
  ASSERT_EQ(Night({u"/HardLinks"}), 0) << scratch_.Read(u"run.err");
  EXPECT_TRUE(std::filesystem::equivalent(scratch_.Fs(u"dst/a"), scratch_.Fs(u"dst/b")));
  // Whichever name the walk met first set the group's copy, the other was
  // linked to it: b's file always went, a's where b came first.
  EXPECT_EQ(testing::ReadWholeFile(RunFolder() / "b"), "its own");
  const bool a_replaced =
      !std::filesystem::equivalent(scratch_.Fs(u"dst/a"), scratch_.Fs(u"a-before"));
  EXPECT_EQ(std::filesystem::exists(RunFolder() / "a"), a_replaced);
}

// A version that cannot be kept is not given up: the replica keeps it, one
// ERR each, and the run fails.
TEST_F(HistoryFaultTest, AVersionThatCannotBeKeptStays) {
  const struct {
    const char* what;
    Call call;
    DWORD error;
  } rows[] = {
      {"replaced, the link refused", Call::kCreateHardLinkW, ERROR_DISK_FULL},
      {"removed, the move refused", Call::kMoveEntryW, ERROR_ACCESS_DENIED},
  };
  for (const auto& row : rows) {
    std::filesystem::remove_all(scratch_.Fs(u"src"));
    std::filesystem::remove_all(scratch_.Fs(u"dst"));
    scratch_.Write(u"src/a", "old");
    scratch_.Write(u"src/b", "b");
    ASSERT_EQ(Night(), 0) << scratch_.Read(u"run.err");
    Later(u"src/a", "new");
    std::filesystem::remove(scratch_.Fs(u"src/b"));
    FaultInjector faults;
    faults.Add(Fault{row.call, 1, u"", row.error});
    EXPECT_EQ(Night(), 1) << row.what;
    EXPECT_EQ(scratch_.Read(u"dst/a"), row.call == Call::kCreateHardLinkW ? "old" : "new")
        << row.what;
    EXPECT_EQ(std::filesystem::exists(scratch_.Fs(u"dst/b")), row.call == Call::kMoveEntryW)
        << row.what;
  }
}

}  // namespace
}  // namespace vx
