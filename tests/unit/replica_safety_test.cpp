// What a /Mirror run must never remove, and what a rerun carries, on both
// builds: objects matched by identity whatever their names compare to,
// case-only renames, the source and the logs, volumes that came or went,
// the removal limit, older versions restored, and metadata changed without
// new data.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "copy/walk/exclude.h"
#include "copy/replica/rules.h"
#include "fault_injection.h"
#include "run/run_state.h"
#include "run_fixture.h"
#include "scratch.h"

namespace vx {
namespace {

using testing::Bytes;
using testing::Call;
using testing::ConsoleCapture;
using testing::ErrLine;
using testing::Fault;
using testing::FaultInjector;
using testing::RunVelmox;
using testing::Scratch;

// Every run here keeps a replica: /Mirror with the fixture's /OnlyNewer.
class MirrorSafetyTest : public testing::RunFixture {
 protected:
  int Run(std::vector<std::u16string> more, std::u16string_view log = u"run.log") {
    more.insert(more.begin(), u"/Mirror");
    return RunFixture::Run(more, log);
  }
  // Every path below `root` (its names as the directories spell them) with
  // its data, "" for a directory.
  std::map<std::u16string, std::string> Tree(std::u16string_view root) {
    std::map<std::u16string, std::string> tree;
    const std::filesystem::path top = scratch_.Fs(root);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
      tree[std::filesystem::relative(entry.path(), top).u16string()] =
          entry.is_directory() ? "" : testing::ReadWholeFile(entry.path());
    }
    return tree;
  }
};

// A source entry renamed only in case, its times unchanged, keeps its
// replica: the object the run found at the source's name (by the volume's
// own case rule, or a case-insensitive mount's) is never removed, and it
// is renamed in place to the source's spelling. Linux shows a volume that
// ignores case through the seam; Wine renames in case only as a no-op, so
// there the rename is asked for and the data stays.
TEST_F(MirrorSafetyTest, CaseOnlyRenamesKeepEveryFileAndTakeTheSourcesSpelling) {
  const std::u16string renames[][2] = {
      {u"docs", u"Docs"},
      {u"\u0107wiczenia", u"\u0106wiczenia"},  // ćwiczenia, Latin Extended-A
      {u"\u03ad\u03b3\u03b3\u03c1\u03b1\u03c6\u03bf.txt",
       u"\u0388\u03b3\u03b3\u03c1\u03b1\u03c6\u03bf.txt"},  // έγγραφο.txt, accented Greek
      {u"\uff26\uff35\uff2c\uff2c.txt", u"\uff46\uff55\uff4c\uff4c.txt"},  // fullwidth
  };
  // Made anew under the new spelling with the old times (Wine renames in
  // case only as a no-op, so the source cannot be renamed there either).
  auto make_source = [&](int spelling) {
    std::filesystem::remove_all(scratch_.Fs(u"src"));
    const std::u16string docs = renames[0][spelling];
    const std::u16string exercises = renames[1][spelling];
    const std::pair<std::u16string, std::string> files[] = {
        {docs + u"/a.txt", "a"},
        {exercises + u"/b.txt", "b"},
        {renames[2][spelling], "c"},
        {renames[3][spelling], "d"}};
    for (const auto& [name, data] : files) {
      scratch_.Write(u"src/" + name, data);
      testing::SetLastWriteTicks(scratch_.Path(u"src/" + name), testing::k2020);
    }
  };
  make_source(0);
  ASSERT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
  make_source(1);
  FaultInjector faults;
  faults.CaseInsensitiveBelow(Prepared(u"dst"));
  int respelled = 0;
  faults.Add(Fault{Call::kMoveFileW, 1, u"Docs", 0, 0, Fault::Kind::kBefore, 0,
                   [&] { ++respelled; }});
  EXPECT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
  EXPECT_EQ(respelled, 1);
  EXPECT_EQ(scratch_.Read(u"dst/Docs/a.txt"), "a");
  EXPECT_EQ(scratch_.Read(u"dst/\u0106wiczenia/b.txt"), "b");
  EXPECT_EQ(scratch_.Read(u"dst/" + std::u16string(renames[2][1])), "c");
  EXPECT_EQ(scratch_.Read(u"dst/" + std::u16string(renames[3][1])), "d");
  if (kNamesIgnoreCase) {
    EXPECT_TRUE(Lines("DEL  ").empty());  // nothing was copied again either
    EXPECT_EQ(Lines("   -new        : 0").size(), 1u);
  } else {
    // Byte-compared names: the non-ASCII renames are new names, the old
    // ones go; the ASCII one met the case-insensitive stand-in.
    EXPECT_EQ(Tree(u"dst"), Tree(u"src"));
  }
}

// A second name (a hard link) of a file the source still has under its
// first name is no alias of it: where the source drops that name, so does
// the replica, and the file stays under the first.
TEST_F(MirrorSafetyTest, ADroppedHardLinkNameGoesAndItsFileStays) {
  scratch_.Write(u"src/first", "shared");
  std::filesystem::create_hard_link(scratch_.Fs(u"src/first"), scratch_.Fs(u"src/second"));
  ASSERT_EQ(Run({u"/HardLinks"}), 0) << scratch_.Read(u"run.err");
  std::filesystem::remove(scratch_.Fs(u"src/second"));
  EXPECT_EQ(Run({u"/HardLinks"}), 0) << scratch_.Read(u"run.err");
  EXPECT_FALSE(scratch_.Exists(u"dst/second"));
  EXPECT_EQ(scratch_.Read(u"dst/first"), "shared");
  EXPECT_EQ(Lines("DEL  ").size(), 1u);
}

// Names compare as the destination directory compares them: the system's
// case rule, unless the directory is marked case-sensitive (through the
// seam: Wine knows no such directories).
TEST_F(MirrorSafetyTest, ADirectoryMarkedCaseSensitiveComparesNamesWithCase) {
  scratch_.MakeDir(u"dst/cs");
  FaultInjector faults;
  faults.CaseSensitiveBelow(u"cs");
  HANDLE plain = Os().CreateFileW(Prepared(u"dst").c_str(), FILE_READ_ATTRIBUTES, 7, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  HANDLE marked = Os().CreateFileW(Prepared(u"dst/cs").c_str(), FILE_READ_ATTRIBUTES, 7, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(plain, INVALID_HANDLE_VALUE);
  ASSERT_NE(marked, INVALID_HANDLE_VALUE);
  EXPECT_EQ(NamesIgnoreCaseIn(plain), kNamesIgnoreCase);
  EXPECT_FALSE(NamesIgnoreCaseIn(marked));
  const bool fold = NamesIgnoreCaseIn(plain);
  EXPECT_EQ(ComparedName(u"\u0107wiczenia", fold) == ComparedName(u"\u0106wiczenia", fold), fold);
  EXPECT_EQ(ComparedName(u"\uff26ull", fold) == ComparedName(u"\uff46ull", fold), fold);
  EXPECT_NE(ComparedName(u"a", false), ComparedName(u"A", false));
  Os().CloseHandle(marked);
  Os().CloseHandle(plain);
}

// What holds the source root, a log or an excluded entry is never removed,
// at any depth; a source root inside its destination is refused at start.
TEST_F(MirrorSafetyTest, NeitherTheSourceNorTheLogsNorExcludedEntriesAreRemoved) {
  scratch_.Write(u"src/a", "a");
  ASSERT_EQ(Run({}), 0);
  scratch_.Write(u"dst/logs/deep/night.log", "");
  scratch_.Write(u"dst/old/big.iso", "never copied anywhere");
  scratch_.Write(u"dst/old/junk", "junk");
  scratch_.Write(u"dst/old/sub/junk", "junk");
  EXPECT_EQ(Run({u"/Exclude:*.iso", u"/ErrorLog:" + scratch_.Path(u"dst/logs/deep/night.err")},
                u"dst/logs/deep/night.log"),
            0)
      << scratch_.Read(u"dst/logs/deep/night.err");
  EXPECT_TRUE(scratch_.Exists(u"dst/logs/deep/night.log"));
  EXPECT_TRUE(scratch_.Exists(u"dst/logs/deep/night.err"));
  EXPECT_EQ(scratch_.Read(u"dst/old/big.iso"), "never copied anywhere");
  EXPECT_FALSE(scratch_.Exists(u"dst/old/junk"));
  EXPECT_FALSE(scratch_.Exists(u"dst/old/sub"));

  // The source below the destination: refused, nothing touched.
  scratch_.Write(u"dst/src/keep.iso", "only here");
  ConsoleCapture capture;
  EXPECT_EQ(RunVelmox({u"/Source:" + scratch_.Path(u"dst/src"), u"/Dest:" + scratch_.Path(u"dst"),
                       u"/Mirror", u"/Exclude:*.iso"}),
            -1);
  EXPECT_NE(capture.Text().find(
                "Source lies inside the destination, which /Mirror would remove, aborting.\r\n"),
            std::string::npos);
  EXPECT_EQ(scratch_.Read(u"dst/src/keep.iso"), "only here");
  // Without /Mirror nothing is removed, so the run may go on.
  EXPECT_EQ(RunVelmox({u"/Source:" + scratch_.Path(u"dst/src"), u"/Dest:" + scratch_.Path(u"dst"),
                       u"/Silent", u"/Exclude:*.iso"}),
            0);
}

// /MaxDelete: removes at most n entries, a directory's contents counted one
// by one; what is over stays and one ERR says so.
TEST_F(MirrorSafetyTest, MaxDeleteStopsRemovalsAtTheLimit) {
  scratch_.Write(u"src/a", "a");
  ASSERT_EQ(Run({}), 0);
  for (const char16_t* extra : {u"dst/x1", u"dst/x2", u"dst/x3", u"dst/x4", u"dst/x5"}) {
    scratch_.Write(extra, "x");
  }
  EXPECT_EQ(Run({u"/MaxDelete:3"}), 1);
  int left = 0;
  for (const char16_t* extra : {u"dst/x1", u"dst/x2", u"dst/x3", u"dst/x4", u"dst/x5"}) {
    left += scratch_.Exists(extra) ? 1 : 0;
  }
  EXPECT_EQ(left, 2);
  EXPECT_EQ(Lines("DEL  ").size(), 3u);
  const std::vector<std::string> errors = Lines("ERR  ");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("at CopyOneDirectory:MaxDelete(DESTINATION) (1223)"), std::string::npos);
  EXPECT_EQ(Lines("MaxDelete                 : 3").size(), 1u);
  // A directory counts with what it holds: two files and itself.
  scratch_.Write(u"dst/d/y1", "y");
  scratch_.Write(u"dst/d/y2", "y");
  std::vector<std::u16string> before = {u"dst/d/y1", u"dst/d/y2", u"dst/d"};
  for (const char16_t* extra : {u"dst/x1", u"dst/x2", u"dst/x3", u"dst/x4", u"dst/x5"}) {
    if (scratch_.Exists(extra)) before.push_back(extra);
  }
  EXPECT_EQ(Run({u"/MaxDelete:4"}), 1);  // x-files first or d first: 4 of 5 go
  EXPECT_EQ(Lines("ERR  ").size(), 1u);
  // Each entry that went has its line, even inside a directory the limit
  // cut into; what stayed has none.
  const std::vector<std::string> removed = Lines("DEL  ");
  EXPECT_EQ(removed.size(), 4u);
  for (const std::u16string& entry : before) {
    const std::string name = ": " + testing::Bytes(Prepared(entry)) + "\r";
    const bool named = std::any_of(removed.begin(), removed.end(),
                                   [&](const std::string& line) { return line.ends_with(name); });
    EXPECT_EQ(named, !scratch_.Exists(entry)) << name;
  }
  EXPECT_EQ(Run({u"/MaxDelete:10"}), 0);
  EXPECT_EQ(Tree(u"dst"), Tree(u"src"));
}

// A mirror is the source's copy: an older version restored at the source
// is copied; without /Mirror, /OnlyNewer copies only what is newer, or of
// another size under the same time.
TEST_F(MirrorSafetyTest, AnOlderVersionRestoredAtTheSourceIsCopied) {
  scratch_.Write(u"src/report", "version 2");
  testing::SetLastWriteTicks(scratch_.Path(u"src/report"), testing::k2020 + 7200ull * 10000000);
  scratch_.Write(u"src/same-time", "short");
  testing::SetLastWriteTicks(scratch_.Path(u"src/same-time"), testing::k2020);
  ASSERT_EQ(Run({}), 0);
  scratch_.Write(u"src/report", "version 1");
  testing::SetLastWriteTicks(scratch_.Path(u"src/report"), testing::k2020);
  scratch_.Write(u"src/same-time", "longer now");
  testing::SetLastWriteTicks(scratch_.Path(u"src/same-time"), testing::k2020);
  const std::vector<std::u16string> not_mirrored = {u"/Source:" + scratch_.Path(u"src"),
                                                    u"/Dest:" + scratch_.Path(u"dst"),
                                                    u"/OnlyNewer", u"/Silent"};
  EXPECT_EQ(RunVelmox(not_mirrored), 0);
  EXPECT_EQ(scratch_.Read(u"dst/report"), "version 2");
  EXPECT_EQ(scratch_.Read(u"dst/same-time"), "longer now");  // another size: damage
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(scratch_.Read(u"dst/report"), "version 1");
  EXPECT_EQ(testing::LastWriteTicks(scratch_.Path(u"dst/report")), testing::k2020);
  EXPECT_EQ(Lines("   -newer      : 1").size(), 1u);
}

// A source directory that was a mount point at the last run and is not
// now (or the reverse) removes nothing below it: one ERR names it. The
// volumes and the marks stand in through the seam on both builds.
TEST_F(MirrorSafetyTest, AVolumeThatWentAwayRemovesNothingBelowIt) {
  scratch_.Write(u"src/vol/data/a", "a");
  scratch_.Write(u"src/vol/b", "b");
  scratch_.Write(u"src/plain/c", "c");
  FaultInjector faults;
  faults.StandInMarks();
  faults.StandInVolumes({{Prepared(u"src/vol"), 0x4242}});
  ASSERT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
  ASSERT_EQ(faults.MarksNamed(u"mount"), 1u);
  EXPECT_EQ(faults.Marks().count(Prepared(u"dst/vol") + kPathSeparator + u"mount"), 1u);
  EXPECT_EQ(Run({}), 0) << scratch_.Read(u"run.err");  // mounted as before

  // Unmounted: the mount point is an empty directory with one stray file.
  faults.StandInVolumes({});
  std::filesystem::remove_all(scratch_.Fs(u"src/vol"));
  scratch_.Write(u"src/vol/stray", "s");
  std::filesystem::remove(scratch_.Fs(u"src/plain/c"));
  for (int night = 0; night < 2; ++night) {
    EXPECT_EQ(Run({}), 1);
    EXPECT_EQ(scratch_.Read(u"run.err"),
              ErrLine(1, Prepared(u"src/vol"), u"CopyOneDirectory:MountPointChanged(SOURCE-DIR)",
                      ERROR_FILE_INVALID));
    EXPECT_EQ(scratch_.Read(u"dst/vol/data/a"), "a");
    EXPECT_EQ(scratch_.Read(u"dst/vol/b"), "b");
    EXPECT_EQ(scratch_.Read(u"dst/vol/stray"), "s");
    EXPECT_FALSE(scratch_.Exists(u"dst/plain/c"));  // elsewhere removals go on
  }
  // Mounted again: the replica is the volume's again.
  std::filesystem::remove(scratch_.Fs(u"src/vol/stray"));
  scratch_.Write(u"src/vol/data/a", "a");
  faults.StandInVolumes({{Prepared(u"src/vol"), 0x4242}});
  EXPECT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
  EXPECT_FALSE(scratch_.Exists(u"dst/vol/stray"));
  EXPECT_FALSE(scratch_.Exists(u"dst/vol/b"));
}

// Every run that writes records the volume of the source root (on the
// replica's root) and of each mount point below it (on its replica), so a
// replica seeded without /Mirror is guarded too. A /Mirror run that finds
// one on another volume than recorded removes nothing below it, one ERR
// naming the recorded volume, night after night, until /AcceptVolume takes
// tonight's volumes for the records.
TEST_F(MirrorSafetyTest, RecordedVolumesGuardTheReplicaUntilAChangeIsAccepted) {
  scratch_.Write(u"src/vol/a", "a");
  scratch_.Write(u"src/b", "b");
  FaultInjector faults;
  faults.StandInMarks();
  faults.StandInVolumes({{Prepared(u"src/vol"), 0x4242}, {Prepared(u"src"), 0x77}});
  ASSERT_EQ(RunFixture::Run({u"/Backup"}), 0) << scratch_.Read(u"run.err");
  const std::u16string root_mark = Prepared(u"dst") + kPathSeparator + u"source";
  const std::u16string vol_mark = Prepared(u"dst/vol") + kPathSeparator + u"mount";
  EXPECT_EQ(faults.Marks()[root_mark], "119 mount");
  EXPECT_EQ(faults.Marks()[vol_mark], "16962");

  const struct {
    const char* what;
    std::vector<FaultInjector::StandInVolume> tonight;
    const char16_t* gone;      // removed at the source
    const char16_t* guarded;   // the source directory on another volume
    const char16_t* recorded;
    const char* accepted_mark;
    const std::u16string* mark;
  } cases[] = {
      {"another volume at the root", {{Prepared(u"src/vol"), 0x4242}, {Prepared(u"src"), 0x78}},
       u"b", u"src", u"119", "120 mount", &root_mark},
      {"another volume at a mount point",
       {{Prepared(u"src/vol"), 0x4343}, {Prepared(u"src"), 0x78}}, u"vol/a", u"src/vol", u"16962",
       "17219", &vol_mark},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    faults.StandInVolumes(c.tonight);
    std::filesystem::remove(scratch_.Fs(u"src/" + std::u16string(c.gone)));
    const std::u16string copy = u"dst/" + std::u16string(c.gone);
    for (int night = 0; night < 2; ++night) {
      EXPECT_EQ(Run({}), 1);
      EXPECT_EQ(scratch_.Read(u"run.err"),
                ErrLine(1, Prepared(c.guarded),
                        std::u16string(u"CopyOneDirectory:VolumeChanged(SOURCE-DIR, recorded volume ") +
                            c.recorded + u")",
                        ERROR_FILE_INVALID));
      EXPECT_TRUE(scratch_.Exists(copy));
    }
    EXPECT_EQ(Run({u"/AcceptVolume"}), 0) << scratch_.Read(u"run.err");
    EXPECT_FALSE(scratch_.Exists(copy));
    EXPECT_EQ(faults.Marks()[*c.mark], c.accepted_mark);
    EXPECT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
  }
}

// A kind change below a volume that went away removes nothing either: a
// stray file where the replica holds a directory, or a stray directory
// where it holds a file, is one ERR each, and both copies stay.
TEST_F(MirrorSafetyTest, AKindChangeBelowAVolumeThatWentAwayRemovesNothing) {
  scratch_.Write(u"src/vol/data/a", "a");
  scratch_.Write(u"src/vol/b", "b");
  FaultInjector faults;
  faults.StandInMarks();
  faults.StandInVolumes({{Prepared(u"src/vol"), 0x4242}});
  ASSERT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
  faults.StandInVolumes({});
  std::filesystem::remove_all(scratch_.Fs(u"src/vol"));
  scratch_.Write(u"src/vol/data", "a stray file");
  scratch_.Write(u"src/vol/b/stray", "a stray directory");
  EXPECT_EQ(Run({}), 3);  // the mount point, the file, the directory
  EXPECT_EQ(scratch_.Read(u"dst/vol/data/a"), "a");
  EXPECT_EQ(scratch_.Read(u"dst/vol/b"), "b");
}

// Every safety check on what a file's destination name holds, one row
// each; each look is asked for only where it decides.
TEST(NameRulesTest, EachRuleHasItsRow) {
  using F = NameFacts;
  using A = NameAction;
  const AtName file = AtName::kFile;
  const struct {
    const char* rule;
    NameFacts facts;
    NameAction action;
  } rows[] = {
      {"a directory the run made is not looked at", F{.parent_is_new = true}, A::kCopyNew},
      {"first the name is looked at", F{}, A::kAskAtName},
      {"nothing there", F{.at_name = AtName::kNothing}, A::kCopyNew},
      {"a directory where /Mirror may remove", F{.may_replace_kind = true,
                                                 .at_name = AtName::kDirectory}, A::kReplaceKind},
      {"a directory kept", F{.at_name = AtName::kDirectory}, A::kKeepKind},
      {"a link not followed, kept", F{.at_name = AtName::kUnresolved}, A::kKeepKind},
      {"a link not followed, replaced", F{.may_replace_kind = true,
                                          .at_name = AtName::kUnresolved}, A::kReplaceKind},
      {"a file: written here already?", F{.at_name = file}, A::kAskWrittenHere},
      {"another name's copy is a collision", F{.compares = true, .at_name = file,
                                               .written_here = true}, A::kCollision},
      {"no mode keeps a file", F{.at_name = file, .written_here = false}, A::kKeep},
      {"a mode asks if it is the source", F{.compares = true, .at_name = file,
                                            .written_here = false}, A::kAskSameFile},
      {"the source itself", F{.compares = true, .at_name = file, .written_here = false,
                              .same_file = true}, A::kSameFile},
      {"then if it is a log", F{.compares = true, .at_name = file, .written_here = false,
                                .same_file = false}, A::kAskRunOutput},
      {"a log of the run", F{.compares = true, .at_name = file, .written_here = false,
                             .same_file = false, .run_output = true}, A::kKeepRunOutput},
      {"else the file rules", F{.compares = true, .at_name = file, .written_here = false,
                                .same_file = false, .run_output = false}, A::kCompare},
  };
  for (const auto& row : rows) EXPECT_EQ(DecideOnName(row.facts), row.action) << row.rule;
}

// Every rule of what a source directory's destination name may hold, one
// row each. Where the name is made whatever it holds, the make is the look.
TEST(DirectoryRulesTest, EachRuleHasItsRow) {
  using F = DirectoryFacts;
  using A = DirectoryAction;
  const AtName file = AtName::kFile;
  const struct {
    const char* rule;
    DirectoryFacts facts;
    DirectoryAction action;
  } rows[] = {
      {"a run without a mode just makes it", F{.make = true}, A::kMake},
      {"in a directory the run made too", F{.make = true, .parent_is_new = true,
                                            .takes_existing = true}, A::kMake},
      {"one the run made is taken: a collision",
       F{.make = true, .parent_is_new = true, .at_name = AtName::kDirectory}, A::kCollision},
      {"a mode looks first", F{.make = true, .takes_existing = true}, A::kAskAtName},
      {"the root not made looks", F{}, A::kAskAtName},
      {"nothing there: made", F{.make = true, .at_name = AtName::kNothing}, A::kMake},
      {"the root missing", F{.at_name = AtName::kNothing}, A::kCannotOpen},
      {"the root there", F{.at_name = AtName::kDirectory}, A::kTakeExisting},
      {"a mode takes one there", F{.make = true, .takes_existing = true,
                                   .at_name = AtName::kDirectory}, A::kTakeExisting},
      {"no mode refuses one there", F{.make = true, .at_name = AtName::kDirectory},
       A::kRefuseExisting},
      {"a file where the root is", F{.at_name = file}, A::kCannotOpen},
      {"/Verify: another kind differs",
       F{.make = true, .takes_existing = true, .verify = true, .at_name = file}, A::kDifference},
      {"/Mirror removes another kind",
       F{.make = true, .may_replace_kind = true, .at_name = AtName::kUnresolved},
       A::kReplaceKind},
      {"another kind kept, no mode", F{.make = true, .at_name = file}, A::kRefuseExisting},
      {"another kind kept, a mode", F{.make = true, .takes_existing = true, .at_name = file},
       A::kCannotOpen},
  };
  for (const auto& row : rows) EXPECT_EQ(DecideOnDirectory(row.facts), row.action) << row.rule;
}

// Every rule of whether a file at its destination name is copied again,
// one row each; a fact that costs a look at the copy is asked for only
// where it decides.
TEST(FileRulesTest, EachRuleHasItsRow) {
  using F = FileFacts;
  using A = FileAction;
  const struct {
    const char* rule;
    FileFacts facts;
    FileAction action;
  } rows[] = {
      {"neither mode keeps the copy", F{.order = 1}, A::kSkip},
      {"/Overwrite copies whatever the times", F{.overwrite = true, .order = -1}, A::kOverwritten},
      {"/OnlyNewer copies a later source", F{.only_newer = true, .order = 1}, A::kNewer},
      {"an earlier source is kept", F{.only_newer = true, .order = -1,
                                      .changed_in_unfinished_run = false}, A::kSkip},
      {"a mirror copies an earlier source too", F{.only_newer = true, .mirror = true, .order = -1},
       A::kNewer},
      {"the same time with another size is damage", F{.only_newer = true, .other_size = true},
       A::kNewer},
      {"a later copy of another size is kept", F{.only_newer = true, .order = -1,
                                                 .other_size = true,
                                                 .changed_in_unfinished_run = false}, A::kSkip},
      {"equal: the unfinished run is asked", F{.only_newer = true}, A::kAskUnfinishedRun},
      {"changed while a cut run wrote", F{.only_newer = true, .changed_in_unfinished_run = true},
       A::kNewer},
      {"equal and untouched", F{.only_newer = true, .changed_in_unfinished_run = false}, A::kSkip},
      {"equal links: their targets are asked",
       F{.only_newer = true, .both_links = true, .changed_in_unfinished_run = false},
       A::kAskLinkTargets},
      {"a retargeted link", F{.only_newer = true, .both_links = true,
                              .changed_in_unfinished_run = false, .link_targets_differ = true},
       A::kNewer},
      {"a link as it was", F{.only_newer = true, .both_links = true,
                             .changed_in_unfinished_run = false, .link_targets_differ = false},
       A::kSkip},
  };
  for (const auto& row : rows) EXPECT_EQ(DecideOnFile(row.facts), row.action) << row.rule;
}

// Every rule of what /Mirror may remove, one row each.
TEST(RemovalRulesTest, EachRuleHasItsRow) {
  using F = RemovalFacts;
  const struct {
    const char* rule;
    RemovalFacts facts;
    Removal removal;
  } rows[] = {
      {"/Mirror removes what the source lacks", F{.mirror = true}, Removal::kRemove},
      {"without /Mirror nothing goes", F{}, Removal::kKeep},
      {"/Verify reports it", F{.verify = true}, Removal::kDifference},
      {"/Verify never removes", F{.mirror = true, .verify = true}, Removal::kDifference},
      {"a volume that changed keeps all", F{.mirror = true, .keeps_all = true}, Removal::kKeep},
      {"a listing cut short keeps all", F{.mirror = true, .listed_whole = false}, Removal::kKeep},
      {"names not compared keep all", F{.mirror = true, .names_unsure = true}, Removal::kKeep},
      {"a stop keeps the rest", F{.mirror = true, .stop_requested = true}, Removal::kKeep},
      {"an excluded entry stays", F{.mirror = true, .excluded = true}, Removal::kKeep},
      {"an empty source root removes nothing", F{.mirror = true, .source_root_empty = true},
       Removal::kEmptySource},
      {"a changed volume is said before an empty root",
       F{.mirror = true, .keeps_all = true, .source_root_empty = true}, Removal::kKeep},
  };
  for (const auto& row : rows) EXPECT_EQ(MayRemove(row.facts), row.removal) << row.rule;
}

// Where volumes have lasting names, the records hold them: a record made
// by number is taken for the named volume of that number and written
// anew; a volume of another name (a disk cloned with its serial number) is
// another volume, whatever its number.
TEST_F(MirrorSafetyTest, VolumesAreRecordedByTheirLastingNames) {
  scratch_.Write(u"src/vol/a", "a");
  scratch_.Write(u"src/b", "b");
  FaultInjector faults;
  faults.StandInMarks();
  faults.StandInVolumes({{Prepared(u"src/vol"), 0x4242}, {Prepared(u"src"), 0x77}});
  ASSERT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
  const std::u16string root_mark = Prepared(u"dst") + kPathSeparator + u"source";
  const std::u16string vol_mark = Prepared(u"dst/vol") + kPathSeparator + u"mount";
  ASSERT_EQ(faults.Marks()[root_mark], "119 mount");  // recorded by number

  const std::u16string root = u"\\\\?\\Volume{00000000-0000-0000-0000-000000000077}";
  const std::u16string vol = u"\\\\?\\Volume{00000000-0000-0000-0000-000000004242}";
  faults.StandInVolumes({{Prepared(u"src/vol"), 0x4242, vol}, {Prepared(u"src"), 0x77, root}});
  EXPECT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
  EXPECT_EQ(faults.Marks()[root_mark], Bytes(root) + " mount");
  EXPECT_EQ(faults.Marks()[vol_mark], Bytes(vol));

  // A clone: the same number, another name.
  faults.StandInVolumes({{Prepared(u"src/vol"), 0x4242, u"\\\\?\\Volume{clone}"},
                         {Prepared(u"src"), 0x77, root}});
  std::filesystem::remove(scratch_.Fs(u"src/vol/a"));
  EXPECT_EQ(Run({}), 1);
  EXPECT_EQ(scratch_.Read(u"run.err"),
            ErrLine(1, Prepared(u"src/vol"),
                    u"CopyOneDirectory:VolumeChanged(SOURCE-DIR, recorded volume " + vol + u")",
                    ERROR_FILE_INVALID));
  EXPECT_TRUE(scratch_.Exists(u"dst/vol/a"));
}

TEST(ExcludeNormalisingTest, PatternsTakeTheFormOfTheWalksPaths) {
  const std::u16string sep(1, kPathSeparator);
  const struct {
    std::u16string typed;
    std::u16string prepared;  // empty: refused
  } cases[] = {
      {u"sub/keep/", u"sub" + sep + u"keep"},
      {u"./sub/keep", u"sub" + sep + u"keep"},
      {u"sub//keep", u"sub" + sep + u"keep"},
      {u"/sub/keep", u"sub" + sep + u"keep"},
      {u"build\\out", u"build\\out"},  // a separator on Windows, a name's own on Linux
      {u"*.iso/", u"*.iso"},
      {u"..hidden", u"..hidden"},
      {u"", u""},
      {u"./", u""},
      {u"a/../b", u""},
      {u"a/./b", u""},
      {u"..", u""},
  };
  for (const auto& c : cases) {
    ExcludePatterns prepared;
    const bool accepted = PrepareExcludes({c.typed}, &prepared);
    EXPECT_EQ(accepted, !c.prepared.empty()) << Bytes(c.typed);
    if (accepted) {
      EXPECT_EQ(Bytes(prepared[0].text), Bytes(c.prepared)) << Bytes(c.typed);
    }
  }
}

}  // namespace
}  // namespace vx
