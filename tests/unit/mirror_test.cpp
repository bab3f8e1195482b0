// Keeping a replica: /Mirror, /List, /Exclude:, /Retry: and /Wait: on real
// command lines and real trees, on both builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "copy/walk/exclude.h"
#include "fault_injection.h"
#include "run/run_state.h"
#include "run/stop.h"
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

constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);

class ReplicaTest : public testing::RunFixture {
 protected:
  // A copy made, then drifted from its source: entries the source no
  // longer has, one an exclude pattern keeps.
  void SetUp() override {
    scratch_.Write(u"src/a", "a");
    scratch_.Write(u"src/sub/b", "b");
    ASSERT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
    scratch_.Write(u"dst/gone.txt", "gone");
    scratch_.Write(u"dst/olddir/x/y", "y");
    scratch_.Write(u"dst/sub/gone2", "g");
    scratch_.Write(u"dst/keep.tmp", "kept");
  }
  std::string Shown(std::u16string_view relative) { return Bytes(Prepared(relative)); }
  // Every path below dst with its data ("" for a directory).
  std::map<std::u16string, std::string> Destination() {
    std::map<std::u16string, std::string> tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch_.Fs(u"dst"))) {
      const std::u16string path = entry.path().u16string();
      tree[path] = entry.is_directory() ? "" : testing::ReadWholeFile(entry.path());
    }
    return tree;
  }
};

// What the source no longer has goes, a directory with everything in it,
// one DEL line each and counted; an excluded entry stays. A rerun removes
// nothing; without /Mirror there is no Deleted line.
TEST_F(ReplicaTest, MirrorRemovesWhatTheSourceNoLongerHasButNotWhatIsExcluded) {
  EXPECT_EQ(Run({u"/Mirror", u"/Exclude:*.tmp"}), 0) << scratch_.Read(u"run.err");
  for (const char16_t* gone : {u"dst/gone.txt", u"dst/olddir", u"dst/sub/gone2"}) {
    EXPECT_FALSE(scratch_.Exists(gone)) << Bytes(gone);
  }
  EXPECT_EQ(scratch_.Read(u"dst/keep.tmp"), "kept");
  EXPECT_EQ(scratch_.Read(u"dst/sub/b"), "b");
  std::vector<std::string> removed = Lines("DEL  ");
  std::sort(removed.begin(), removed.end(),
            [](const std::string& x, const std::string& y) { return x.substr(13) < y.substr(13); });
  ASSERT_EQ(removed.size(), 3u);
  EXPECT_EQ(removed[0].substr(13), Shown(u"dst/gone.txt") + "\r");
  EXPECT_EQ(removed[1].substr(13), Shown(u"dst/olddir") + "\r");
  EXPECT_EQ(removed[2].substr(13), Shown(u"dst/sub/gone2") + "\r");
  EXPECT_EQ(Lines("Deleted        : 3").size(), 1u);
  EXPECT_EQ(Lines("Errors").size(), 1u);

  EXPECT_EQ(Run({u"/Mirror", u"/Exclude:*.tmp"}), 0);
  EXPECT_EQ(Lines("Deleted        : 0").size(), 1u);
  EXPECT_EQ(Run({}), 0);
  EXPECT_TRUE(Lines("Deleted").empty());
}

// Nothing is removed where the source was not seen whole, after a stop,
// for a source root that lists nothing or is missing, nor the run's own
// log; a removal that fails is one ERR and the rest goes on.
TEST_F(ReplicaTest, MirrorRemovesNothingItCannotBeSureOf) {
  struct Case {
    const char* what;
    std::vector<std::u16string> more;
    std::vector<Fault> faults;
    std::function<void(Scratch&)> prepare;
    std::vector<const char16_t*> removed;
    std::vector<const char16_t*> kept;
    int errors;
  };
  const Fault sub_unlisted{Call::kNtQueryDirectoryFile, 1, u"sub", 0, kStatusAccessDenied};
  const Fault stop_at_once{
      Call::kNtQueryDirectoryFile,        1, u"", 0, 0, Fault::Kind::kBefore, 0,
      [] { OnStopRequest(CTRL_C_EVENT); }};
  const std::vector<Case> cases = {
      {"a source directory not listed whole",
       {},
       {sub_unlisted},
       nullptr,
       {u"dst/gone.txt"},
       {u"dst/sub/gone2"},
       1},
      {"an unreadable source root",
       {},
       {Fault{Call::kNtQueryDirectoryFile, 1, u"", 0, kStatusAccessDenied}},
       nullptr,
       {},
       {u"dst/gone.txt", u"dst/sub/gone2", u"dst/olddir"},
       1},
      {"/StopAtFirstError",
       {u"/StopAtFirstError"},
       {sub_unlisted},
       nullptr,
       {},
       {u"dst/gone.txt", u"dst/sub/gone2", u"dst/olddir"},
       1},
      {"a stop request", {}, {stop_at_once}, nullptr, {}, {u"dst/gone.txt", u"dst/sub/gone2"}, 1},
      {"an empty source root",
       {},
       {},
       [](Scratch& s) {
         std::filesystem::remove_all(s.Fs(u"src"));
         s.MakeDir(u"src");
       },
       {},
       {u"dst/a", u"dst/gone.txt"},
       1},
      {"a missing source root",
       {},
       {},
       [](Scratch& s) { std::filesystem::remove_all(s.Fs(u"src")); },
       {},
       {u"dst/a", u"dst/gone.txt"},
       1},
      {"the run's own log",
       {u"/Log:" + scratch_.Path(u"dst/run.log")},
       {},
       nullptr,
       {u"dst/gone.txt"},
       {u"dst/run.log"},
       0},
      {"a removal that fails",
       {},
       {Fault{Call::kDeleteFileW, 1, u"gone.txt", ERROR_ACCESS_DENIED}},
       nullptr,
       {u"dst/olddir", u"dst/sub/gone2"},
       {u"dst/gone.txt"},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(scratch_.Fs(u"src"));
    std::filesystem::remove_all(scratch_.Fs(u"dst"));
    SetUp();
    if (c.prepare) c.prepare(scratch_);
    std::vector<std::u16string> more = {u"/Mirror"};
    more.insert(more.end(), c.more.begin(), c.more.end());
    FaultInjector faults;
    for (const Fault& fault : c.faults) faults.Add(fault);
    EXPECT_EQ(Run(more), c.errors) << scratch_.Read(u"run.err");
    for (const char16_t* gone : c.removed) EXPECT_FALSE(scratch_.Exists(gone)) << Bytes(gone);
    for (const char16_t* kept : c.kept) EXPECT_TRUE(scratch_.Exists(kept)) << Bytes(kept);
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
  // The empty root's ERR says why nothing went.
  std::filesystem::remove_all(scratch_.Fs(u"src"));
  scratch_.MakeDir(u"src");
  EXPECT_EQ(Run({u"/Mirror"}), 1);
  EXPECT_EQ(scratch_.Read(u"run.err"),
            ErrLine(1, Prepared(u"src"), u"CopyOneDirectory:MirrorEmptySource(SOURCE-DIR)",
                    ERROR_NO_MORE_FILES));
}

// An entry of another kind at a name is made the source's kind with /Mirror
// (a DEL line, then the copy); without it, it is an error, as ever.
TEST_F(ReplicaTest, MirrorMakesAnEntryOfAnotherKindTheSourcesKind) {
  scratch_.Write(u"src/k1", "now a file");
  scratch_.Write(u"dst/k1/z", "was a directory");
  scratch_.Write(u"src/k2/c", "now a directory");
  scratch_.Write(u"dst/k2", "was a file");
  EXPECT_EQ(Run({}), 2);
  EXPECT_EQ(scratch_.Read(u"dst/k2"), "was a file");
  EXPECT_EQ(Run({u"/Mirror", u"/Exclude:*.tmp"}), 0) << scratch_.Read(u"run.err");
  EXPECT_EQ(scratch_.Read(u"dst/k1"), "now a file");
  EXPECT_EQ(scratch_.Read(u"dst/k2/c"), "now a directory");
  EXPECT_EQ(Lines("DEL  ").size(), 5u);  // k1, k2 and the three the source no longer has
}

// /List shows the lines and counts of the run that follows it and writes
// nothing, not even a destination root it would create; each FILE line ends
// with what the run then does to the file.
TEST_F(ReplicaTest, ListShowsWhatTheRunWouldDoAndWritesNothing) {
  scratch_.Write(u"src/a", "newer a");
  testing::SetLastWriteTicks(scratch_.Path(u"src/a"), testing::k2020 * 2);
  scratch_.Write(u"src/new/n", "new");
  scratch_.Write(u"src/k1", "now a file");
  scratch_.Write(u"dst/k1/z", "was a directory");
  const auto before = Destination();
  const std::vector<std::u16string> flags = {u"/Mirror", u"/Exclude:*.tmp"};
  std::vector<std::u16string> listing = flags;
  listing.push_back(u"/List");
  EXPECT_EQ(Run(listing, u"list.log"), 0) << scratch_.Read(u"run.err");
  EXPECT_EQ(Destination(), before);
  EXPECT_EQ(Run(flags), 0) << scratch_.Read(u"run.err");
  EXPECT_EQ(scratch_.Read(u"dst/a"), "newer a");
  for (const std::string kind :
       {"DIR  ", "DEL  ", "ERR  ", "Files", "   -", "Deleted", "Errors", "Size (Byte)"}) {
    EXPECT_EQ(Lines(kind, u"list.log"), Lines(kind)) << kind;
  }
  EXPECT_EQ(Lines("DEL  ").size(), 4u);
  const std::vector<std::string> listed = Lines("FILE ", u"list.log");
  const std::vector<std::string> run = Lines("FILE ");
  ASSERT_EQ(listed.size(), run.size());
  const std::map<std::string, std::string> decisions = {
      {"k1", "new"}, {"n", "new"}, {"b", "skipped"}, {"a", "newer"}};
  for (size_t i = 0; i < run.size(); ++i) {
    const std::string line = run[i].substr(0, run[i].size() - 1);  // without its CR
    const size_t name_at = line.find_last_of("/\\") + 1;
    const std::string name = line.substr(name_at, line.find(" (") - name_at);
    EXPECT_EQ(listed[i], line + " " + decisions.at(name) + "\r") << name;
  }

  // A destination root that is not there lists as empty, and stays absent.
  std::vector<std::u16string> elsewhere = {u"/Dest:" + scratch_.Path(u"nowhere"), u"/List"};
  EXPECT_EQ(Run(elsewhere, u"list.log"), 0);
  EXPECT_FALSE(scratch_.Exists(u"nowhere"));
  EXPECT_EQ(Lines("   -new        : 4", u"list.log").size(), 1u);

  // A file the run would fail on says so, its ERR after its FILE line.
  scratch_.Write(u"src/blocked", "b");
  scratch_.MakeDir(u"dst/blocked");
  EXPECT_EQ(Run({u"/List"}, u"list.log"), 1);
  const std::string log = scratch_.Read(u"list.log");
  const size_t file_line = log.find(Shown(u"src/blocked") + " (0 KB) failed\r\nERR  000001: ");
  EXPECT_NE(file_line, std::string::npos) << log;
}

TEST(ExcludeTest, PatternsMatchWithinOneNameAndTheirPathBelowTheRoot) {
  const std::u16string sep(1, kPathSeparator);
  const struct {
    std::u16string pattern;
    std::u16string text;
    bool matches;
  } cases[] = {
      {u"*.tmp", u"a.tmp", true},
      {u"*.tmp", u"a.tmp.x", false},
      {u"a?c", u"abc", true},
      {u"a?c", u"ac", false},
      {u"*", u"", true},
      {u"**b", u"aab", true},
      {u"sub" + sep + u"*.o", u"sub" + sep + u"x.o", true},
      {u"sub" + sep + u"*.o", u"sub" + sep + u"deeper" + sep + u"x.o", false},
      {u"*" + sep + u"x.o", u"sub" + sep + u"x.o", true},
      {u"s?b" + sep + u"x", u"s" + sep + u"b" + sep + u"x", false},
      {u"ABC", u"abc", kNamesIgnoreCase},
      {u"\u00c9T\u00c9", u"\u00e9t\u00e9", kNamesIgnoreCase},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchesPattern(c.pattern, c.text), c.matches)
        << Bytes(c.pattern) << " " << Bytes(c.text);
  }
}

// An excluded entry gets no line, is not counted, copied or descended into.
TEST_F(ReplicaTest, ExcludedEntriesAreNeitherShownNorCountedNorCopied) {
  scratch_.Write(u"src/b.tmp", "t");
  scratch_.Write(u"src/node_modules/m/x", "x");
  scratch_.Write(u"src/sub/c.o", "o");
  scratch_.Write(u"src/sub/d/c.o", "kept: the pattern's star stays in one name");
  std::filesystem::remove_all(scratch_.Fs(u"dst"));
  EXPECT_EQ(Run({u"/Exclude:*.tmp", u"/Exclude:node_modules",
                 u"/Exclude:sub" + std::u16string(1, kPathSeparator) + u"*.o"}),
            0);
  EXPECT_TRUE(scratch_.Exists(u"dst/sub/d/c.o"));
  for (const char16_t* left_out : {u"dst/b.tmp", u"dst/node_modules", u"dst/sub/c.o"}) {
    EXPECT_FALSE(scratch_.Exists(left_out)) << Bytes(left_out);
  }
  const std::string log = scratch_.Read(u"run.log");
  EXPECT_EQ(log.find("node_modules" + std::string(1, static_cast<char>(kPathSeparator)) + "m"),
            std::string::npos);
  EXPECT_EQ(Lines("FILE ").size(), 3u);  // a, sub/b, sub/d/c.o
  EXPECT_EQ(Lines("DIR  ").size(), 3u);
  EXPECT_EQ(Lines("Exclude                   : *.tmp").size(), 1u);
}

// A transient failure is a WAIT line and the file is tried again from its
// start; only the last try's failure is an ERR, and other failures are not
// tried again. A stop request ends the wait.
TEST_F(ReplicaTest, TransientFailuresAreTriedAgainAfterAWait) {
  constexpr DWORD kSharingViolation = 32;
  const std::u16string a = u"src" + std::u16string(1, kPathSeparator) + u"a";
  const struct {
    const char* what;
    int failures;
    DWORD code;
    bool stop;
    int result;
    size_t waits;
    bool copied;
  } cases[] = {
      {"once", 1, kSharingViolation, false, 0, 1, true},
      {"every time", 3, kSharingViolation, false, 1, 2, false},
      {"not transient", 1, ERROR_ACCESS_DENIED, false, 1, 0, false},
      {"stopped while waiting", 1, kSharingViolation, true, 2, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(scratch_.Fs(u"dst/a"));
    FaultInjector faults;
    for (int nth = 1; nth <= c.failures; ++nth) {
      faults.Add(Fault{Call::kCreateFileW, nth, a, c.code});
    }
    if (c.stop) {
      faults.Add(Fault{Call::kSleep, 1, u"", 0, 0, Fault::Kind::kBefore, 0,
                       [] { OnStopRequest(CTRL_C_EVENT); }});
    }
    EXPECT_EQ(Run({u"/Retry:2", u"/Wait:1"}), c.result);
    const std::vector<std::string> waits = Lines("WAIT ");
    ASSERT_EQ(waits.size(), c.waits);
    if (!waits.empty()) {
      const std::string err =
          ErrLine(1, Prepared(u"src/a"), u"CopyOneFile:CreateFile(SOURCE)", kSharingViolation);
      EXPECT_EQ(waits[0] + "\n", "WAIT " + err.substr(5));
    }
    EXPECT_EQ(Lines("Retries        : " + std::to_string(c.waits)).size(), 1u);
    EXPECT_EQ(scratch_.Exists(u"dst/a"), c.copied);
    EXPECT_EQ(Lines("   -new        : " + std::to_string(c.copied ? 1 : 0)).size(), 1u);
    if (!c.stop) {
      EXPECT_EQ(faults.Slept(), 1000u * c.waits);
    }
    EXPECT_EQ(scratch_.Read(u"run.err").find("WAIT"), std::string::npos);
  }
  EXPECT_EQ(Run({}), 0);
  EXPECT_TRUE(Lines("Retries").empty());
}

}  // namespace
}  // namespace vx
