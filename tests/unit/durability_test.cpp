// Done means on disk, and a crash is repaired by one rerun, on both builds:
// the flushes a run makes, the mark of a run being written, the repair a
// rerun makes after an unfinished one, temporary names no one can take
// first, hard-link groups and private directories that heal.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

#include "copy/replica/temporary_name.h"
#include "copy/registries.h"
#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::Fault;
using testing::FaultInjector;

class DurabilityTest : public testing::WalkFixture {
 protected:
  // A run's mark as the root keeps it: its start, `from_now` FILETIME ticks
  // from now, in eight bytes, least significant first.
  static std::string TimeMark(int64_t from_now) {
    FILETIME now;
    Os().GetSystemTimeAsFileTime(&now);
    const uint64_t since = FileTimeTicks(now) + from_now;
    std::string value(8, '\0');
    for (int i = 0; i < 8; ++i) value[i] = static_cast<char>(since >> (8 * i));
    return value;
  }

  void MakeSource() {
    scratch_.Write(u"src/a", "a");
    scratch_.Write(u"src/sub/b", "bb");
    scratch_.Write(u"src/sub/c", "ccc");
  }
};

// Every file is flushed before it gets its name with /Flush, and where the
// volume cannot be flushed whole; otherwise the volume is flushed once, as
// the walk leaves the root, and a failure there is one ERR.
TEST_F(DurabilityTest, ARunThatEndsIsFlushedOnceOrFileByFile) {
  MakeSource();
  const struct {
    const char* what;
    bool flush_option;
    bool volume_refused;  // the probe at the start says no
    bool final_flush_fails;
  } cases[] = {
      {"the volume at the end", false, false, false},
      {"/Flush", true, false, false},
      {"no right to flush the volume", false, true, false},
      {"the final flush fails", false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(scratch_.Fs(u"dst"));
    scratch_.MakeDir(u"dst");
    ResetRun();
    ResetRegistries();
    SetUp();
    Settings.Flush = c.flush_option;
    FaultInjector faults;
    if (c.volume_refused) faults.Add(Fault{Call::kFlushVolume, 1, u"", ERROR_ACCESS_DENIED});
    if (c.final_flush_fails) faults.Add(Fault{Call::kFlushVolume, 2, u"", ERROR_DISK_FULL});
    const int result = Walk();
    EXPECT_TRUE(faults.OpenHandles().empty());
    const bool volume_flushed = faults.Calls(Call::kFlushVolume) == 2;
    if (!volume_flushed && !c.volume_refused) {
      // Wine gives no right to open a volume: every file is flushed.
      EXPECT_GE(faults.Calls(Call::kFlushFileBuffers), 3);
      continue;
    }
    const bool each_file = c.flush_option || c.volume_refused;
    EXPECT_EQ(faults.Calls(Call::kFlushFileBuffers) >= 3, each_file);
    EXPECT_EQ(result, c.final_flush_fails ? 0 : 1);
    EXPECT_EQ(Counters.ErrorCount, c.final_flush_fails ? 1 : 0) << ErrorLog();
    if (c.final_flush_fails) {
      EXPECT_EQ(ErrorLog(), testing::ErrLine(1, destination_,
                                             u"CopyOneDirectory:FlushFileBuffers(DESTINATION-DIR)",
                                             ERROR_DISK_FULL));
    }
    EXPECT_EQ(scratch_.Read(u"dst/sub/c"), "ccc");
  }
}

// A copy that replaces an existing one takes its name only after one flush
// of the volume: at that flush every name still holds its old version. A
// failed batch flush falls back to a flush per file; a failed rename is one
// ERR, the old version stays and no temporary file is left. A directory
// keeps its source's times though names changed in it after it was left.
TEST_F(DurabilityTest, ReplacementsTakeTheirNamesAfterOneFlush) {
  // A volume the run may flush whole, as an administrator's is (Wine gives
  // no right to open a volume).
  struct StandIn {
    BOOL (*real)(HANDLE, BOOL) = Os().FlushVolume;
    StandIn() { Os().FlushVolume = [](HANDLE, BOOL) -> BOOL { return 1; }; }
    ~StandIn() { Os().FlushVolume = real; }
  } flushes;
  const std::u16string c_path = P(u"dst/sub/c");
  const struct {
    const char* what;
    Fault fault;
    const char* c_after;
    const char* error_context;  // nullptr: no error
  } cases[] = {
      {"one flush, then the names", Fault{Call::kCount}, "CCCC", nullptr},
      {"the batch flush fails", Fault{Call::kFlushVolume, 2, u"", ERROR_DISK_FULL}, "CCCC",
       "CopyOneDirectory:FlushFileBuffers(DESTINATION-DIR)"},
      {"a rename fails", Fault{Call::kMoveFileW, 1, c_path, ERROR_ACCESS_DENIED}, "ccc",
       "CopyOneFile:MoveFile(DESTINATION)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(scratch_.Fs(u"dst"));
    std::filesystem::remove_all(scratch_.Fs(u"src"));
    ResetRun();
    ResetRegistries();
    SetUp();
    Settings.OnlyNewer = 1;
    MakeSource();
    for (const char16_t* name : {u"src/a", u"src/sub/b", u"src/sub/c", u"src/sub"}) {
      testing::SetLastWriteTicks(P(name), testing::k2020);
    }
    ASSERT_EQ(Walk(), 1);
    scratch_.Write(u"src/a", "A");
    scratch_.Write(u"src/sub/c", "CCCC");
    for (const char16_t* name : {u"src/a", u"src/sub/c"}) {
      testing::SetLastWriteTicks(P(name), testing::k2020 + 10000000);
    }
    testing::SetLastWriteTicks(P(u"src/sub"), testing::k2020);
    FaultInjector faults;
    std::string c_at_flush;
    faults.Add(Fault{Call::kFlushVolume, 2, u"", 0, 0, Fault::Kind::kBefore, 0,
                     [&] { c_at_flush = scratch_.Read(u"dst/sub/c"); }});
    bool file_flushed = false;  // a file in dst/sub flushed on its own
    faults.Add(Fault{Call::kFlushFileBuffers, 1, P(u"dst/sub") + kPathSeparator, 0, 0,
                     Fault::Kind::kBefore, 0, [&] { file_flushed = true; }});
    if (c.fault.call != Call::kCount) faults.Add(c.fault);
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(c_at_flush, "ccc");
    EXPECT_EQ(scratch_.Read(u"dst/a"), "A");
    EXPECT_EQ(scratch_.Read(u"dst/sub/c"), c.c_after);
    EXPECT_EQ(Counters.ErrorCount, c.error_context ? 1 : 0) << ErrorLog();
    if (c.error_context != nullptr) {
      EXPECT_NE(ErrorLog().find(c.error_context), std::string::npos) << ErrorLog();
    }
    EXPECT_EQ(file_flushed, c.fault.call == Call::kFlushVolume);
    EXPECT_EQ(testing::LastWriteTicks(P(u"dst/sub")), testing::k2020);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch_.Fs(u"dst/sub")),
                            std::filesystem::directory_iterator()),
              2);
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
}

// The root carries the run's own mark while it writes and loses it at the
// end; a rerun that finds the mark of a run that is not running any more
// (its lock let go) copies again every file changed since that run began,
// though times and sizes say it is up to date, and removes the mark once
// that is done. A live run's mark is left to it. A mark in the future (the
// clock set back) makes the run copy again what changed since the last run
// that ended began, and say so.
TEST_F(DurabilityTest, AnUnfinishedRunsChangesAreCopiedAgain) {
  MakeSource();
  FaultInjector faults;
  faults.StandInMarks();
  size_t marks_midway = 0;
  size_t locks_midway = 0;
  faults.Add(Fault{Call::kCreateDirectoryW, 1, u"sub", 0, 0, Fault::Kind::kBefore, 0, [&] {
                     marks_midway = faults.MarksNamed(u"running");
                     locks_midway = faults.MarkLocks().size();
                   }});
  Settings.OnlyNewer = 1;
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(marks_midway, 1u);
  EXPECT_EQ(locks_midway, 1u);
  EXPECT_EQ(faults.MarksNamed(u"running"), 0u);
  EXPECT_TRUE(faults.MarkLocks().empty());

  const struct {
    const char* what;
    const char16_t* mark;  // nullptr: none
    int64_t mark_from_now;  // in FILETIME ticks
    bool live;              // its lock held
    int copied;
    int notes;
  } cases[] = {
      {"no mark", nullptr, 0, false, 0, 0},
      {"the one mark earlier runs kept", u"running", -36000000000LL, false, 3, 0},
      {"a cut run's own mark", u"running.00000000000000aa", -36000000000LL, false, 3, 0},
      {"a mark in the future", u"running.00000000000000bb", 36000000000LL, false, 3, 1},
      {"a live run's mark", u"running.00000000000000cc", -36000000000LL, true, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::u16string key = c.mark ? destination_ + kPathSeparator + c.mark : u"";
    if (c.mark != nullptr) {
      faults.Marks()[key] = TimeMark(c.mark_from_now);
      if (c.live) faults.MarkLocks().insert(key);
    }
    // A file under a temporary name is a cut run's leftover, removed; where
    // every earlier run ended the destination is not even looked through,
    // and a live run's files in the making are its own.
    const std::u16string in_the_making = NextTemporaryName();
    scratch_.Write(u"dst/sub/" + in_the_making, "in the making");
    faults.StandInOwners(in_the_making, u"");
    Counters = RunCounters{};
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(scratch_.Exists(u"dst/sub/" + in_the_making), c.mark == nullptr || c.live);
    EXPECT_EQ(Counters.NewerCount, c.copied);
    EXPECT_EQ(Counters.NoteCount, c.notes);
    EXPECT_EQ(faults.MarksNamed(u"running"), c.live ? 1u : 0u);
    EXPECT_EQ(faults.MarkLocks().size(), c.live ? 1u : 0u);
  }
}

// A night that finds nothing to do writes nothing: no mark, no flush. One
// that changes a name is marked before it does; one that changes only a
// directory's times needs no mark, yet is made durable and recorded as
// ended, as is a root without a record of an ended run, so that the next
// night need not compare again what it changed, or every copy.
TEST_F(DurabilityTest, ANightWritesOnlyWhatItMustAndFlushesOnlyWhatItWrote) {
  MakeSource();
  struct StandIn {  // a volume the run may flush whole (Wine gives no right)
    BOOL (*real)(HANDLE, BOOL) = Os().FlushVolume;
    StandIn() { Os().FlushVolume = [](HANDLE, BOOL) -> BOOL { return 1; }; }
    ~StandIn() { Os().FlushVolume = real; }
  } flushes;
  FaultInjector faults;
  faults.StandInMarks();
  Settings.OnlyNewer = 1;
  // Each night's listing may move its sources' access times once (relatime),
  // which the next night carries: an unchecked night settles them.
  auto settle = [this] { EXPECT_EQ(Walk(), 1); };
  settle();
  settle();
  const struct {
    const char* what;
    std::function<void()> change;
    bool marked;   // the run's mark was made before its first change of a name
    bool flushed;  // the volume, at the end
    int records;   // marks written at the end (finished, ended, carried)
  } cases[] = {
      {"nothing to do", [] {}, false, false, 0},
      {"a file newer", [&] { scratch_.Write(u"src/sub/b", "new b"); }, true, true, 3},
      {"a directory's times only",
       [&] { testing::SetLastWriteTicks(P(u"src/sub"), testing::k2020); },
       false, true, 3},
      {"no record of an ended run",
       [&] { faults.Marks().erase(destination_ + kPathSeparator + u"finished"); }, false, false,
       3},
      {"nothing to do again", [] {}, false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.change();
    size_t marks_at_first_change = 0;
    faults.Add(Fault{Call::kCreateFileW, 1, u".velmox~", 0, 0, Fault::Kind::kBefore, 0,
                     [&] { marks_at_first_change = faults.MarksNamed(u"running"); }});
    const int marks_before = faults.Calls(Call::kSetDirectoryMark);
    const int volume_flushes = faults.Calls(Call::kFlushVolume);
    const int file_flushes = faults.Calls(Call::kFlushFileBuffers);
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    EXPECT_EQ(marks_at_first_change, c.marked ? 1u : 0u);
    const int marks_written = faults.Calls(Call::kSetDirectoryMark) - marks_before;
    EXPECT_EQ(marks_written, (c.marked ? 2 : 0) + c.records);  // made and removed
    // The probe at the start; a replacement's batch and the end flush it.
    EXPECT_EQ(faults.Calls(Call::kFlushVolume) - volume_flushes > 1, c.flushed);
    EXPECT_EQ(faults.Calls(Call::kFlushFileBuffers) > file_flushes, c.marked || c.records > 0);
    settle();
  }
  EXPECT_EQ(scratch_.Read(u"dst/sub/b"), "new b");
}

// A mark that cannot be made fails every change of a name the run would
// make: nothing is written unmarked, and the cause is the first ERR.
TEST_F(DurabilityTest, NoNameChangesWithoutTheRunsMark) {
  MakeSource();
  FaultInjector faults;
  faults.StandInMarks();
  faults.Add(Fault{Call::kSetDirectoryMark, 1, u"running.", ERROR_DISK_FULL});
  Walk();
  EXPECT_GE(Counters.ErrorCount, 2);  // the mark, and each entry refused
  EXPECT_FALSE(scratch_.Exists(u"dst/a"));
  EXPECT_FALSE(scratch_.Exists(u"dst/sub"));
  EXPECT_EQ(ErrorLog().substr(0, ErrorLog().find('\n') + 1),
            testing::ErrLine(1, destination_, u"CopyOneDirectory:SetFileAttributes(DESTINATION-DIR)",
                             ERROR_DISK_FULL));
  EXPECT_TRUE(faults.OpenHandles().empty());
}

// Temporary names are drawn at random (the clock serves only where the
// system's random source fails), and one found taken is drawn again.
TEST_F(DurabilityTest, TemporaryNamesAreRandomAndDrawnAgainWhenTaken) {
  std::set<std::u16string> names;
  for (int i = 0; i < 64; ++i) names.insert(NextTemporaryName());
  {
    FaultInjector faults;
    faults.Add(Fault{Call::kGenerateRandom, 1, u"", ERROR_NOT_SUPPORTED});
    names.insert(NextTemporaryName());
    names.insert(NextTemporaryName());
  }
  EXPECT_EQ(names.size(), 66u);
  for (const std::u16string& name : names) EXPECT_TRUE(IsTemporaryName(name));

  MakeSource();
  FaultInjector faults;
  faults.Add(Fault{Call::kCreateFileW, 1, u".velmox~", ERROR_FILE_EXISTS});
  faults.Add(Fault{Call::kCreateFileW, 2, u".velmox~", ERROR_FILE_EXISTS});
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
  EXPECT_EQ(scratch_.Read(u"dst/a"), "a");
}

// A leftover under a temporary name is removed only where its owner is the
// runner: a file so named that someone else made stays. The owners stand
// in through the seam (Wine shows every file as another's).
TEST_F(DurabilityTest, OnlyTheRunnersOwnLeftoversAreRemoved) {
  MakeSource();
  EXPECT_EQ(Walk(), 1);
  const std::u16string own = NextTemporaryName();
  const std::u16string planted = NextTemporaryName();
  scratch_.Write(u"dst/sub/" + own, "a killed run's");
  scratch_.Write(u"dst/sub/" + planted, "someone else's");
  FaultInjector faults;
  faults.StandInOwners(own, planted);
  faults.StandInMarks();  // and the killed run's mark
  faults.Marks()[destination_ + kPathSeparator + u"running.00000000000000aa"] =
      TimeMark(-36000000000LL);
  Settings.OnlyNewer = 1;
  EXPECT_EQ(Walk(), 1);
  EXPECT_FALSE(scratch_.Exists(u"dst/sub/" + own));
  EXPECT_EQ(scratch_.Read(u"dst/sub/" + planted), "someone else's");
}

// A rerun with /HardLinks joins every destination name of a source group
// into one object again, changed or not: a name split off by a run cut
// short, and a new name for an unchanged file.
TEST_F(DurabilityTest, HardLinkGroupsAreJoinedAgain) {
  scratch_.Write(u"src/first", "shared");
  std::filesystem::create_hard_link(scratch_.Fs(u"src/first"), scratch_.Fs(u"src/second"));
  Settings.HardLinks = 1;
  Settings.OnlyNewer = 1;
  EXPECT_EQ(Walk(), 1);
  // Split: the second name holds a copy of its own, with the same times.
  std::filesystem::remove(scratch_.Fs(u"dst/second"));
  std::filesystem::copy_file(scratch_.Fs(u"dst/first"), scratch_.Fs(u"dst/second"));
  testing::SetLastWriteTicks(P(u"dst/second"), testing::LastWriteTicks(P(u"dst/first")));
  std::filesystem::create_hard_link(scratch_.Fs(u"src/first"), scratch_.Fs(u"src/third"));
  Counters = RunCounters{};
  Registries.HardLinkCopies.Clear();  // as in a run of its own
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
  EXPECT_EQ(Counters.NewerCount, 1);  // the second name; the third is new
  using testing::ObjectAt;
  EXPECT_EQ(ObjectAt(P(u"dst/first")).names, 3u);
  EXPECT_EQ(ObjectAt(P(u"dst/first")), ObjectAt(P(u"dst/second")));
  EXPECT_EQ(ObjectAt(P(u"dst/first")), ObjectAt(P(u"dst/third")));
  // Joined, the group stays so.
  Counters = RunCounters{};
  Registries.HardLinkCopies.Clear();
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.NewerCount + Counters.NewCount, 0);
}

// A directory a killed run left private (the runner's alone, marked as the
// run's own, without its source's times) gets the security a finished run
// gives it; one an administrator made private (no mark) keeps its own, and
// one that is finished is left as it is. A run marks each directory it
// makes while it is private. Windows shows the private state through the
// seam.
TEST_F(DurabilityTest, DirectoriesLeftPrivateAreFinished) {
  MakeSource();
  FaultInjector faults;
  faults.StandInMarks();
  size_t marked_midway = 0;
  const std::u16string file_in_sub = std::u16string(1, kPathSeparator) + u"sub" + kPathSeparator + u"c";
  faults.Add(Fault{Call::kCreateFileW, 1, file_in_sub, 0, 0, Fault::Kind::kBefore, 0,
                   [&] { marked_midway = faults.MarksNamed(u"private"); }});
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(marked_midway, Os().SetDirectoryMark != nullptr ? 1u : 0u);
  EXPECT_EQ(faults.MarksNamed(u"private"), 0u);
  faults.StandInPrivateDirectories(u"dst" + std::u16string(1, kPathSeparator) + u"sub");
  const bool heals = Os().ApplyInheritedSecurity != nullptr && Os().SetDirectoryMark != nullptr;
  for (const bool marked : {false, true}) {
    SCOPED_TRACE(marked ? "left by a killed run" : "closed by an administrator");
    testing::SetLastWriteTicks(P(u"dst/sub"), testing::k2020);  // never finished
    if (marked) faults.Marks()[P(u"dst/sub") + kPathSeparator + u"private"] = "1";
    const int applied = faults.Calls(Call::kApplyInheritedSecurity);
    Settings.OnlyNewer = 1;
    Counters = RunCounters{};
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    EXPECT_EQ(faults.Calls(Call::kApplyInheritedSecurity) - applied, marked && heals ? 1 : 0);
    EXPECT_EQ(faults.MarksNamed(u"private"), 0u);
    EXPECT_NE(testing::LastWriteTicks(P(u"dst/sub")), testing::k2020);
    // Finished now: it has its source's times, and is left alone.
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(faults.Calls(Call::kApplyInheritedSecurity) - applied, marked && heals ? 1 : 0);
  }
}

}  // namespace
}  // namespace vx
