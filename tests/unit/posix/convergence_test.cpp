// A rerun converges on everything the copy carries, on Linux: times to the
// nanosecond, and mode, owner, ACL and user.* attributes changed at the
// source without a new write time, carried in place on an /OnlyNewer run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "copy/registries.h"
#include "copy_fixture.h"
#include "fault_injection.h"

namespace vx {
namespace {

struct stat StatOf(const std::filesystem::path& path) {
  struct stat st = {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

class ConvergenceTest : public testing::WalkFixture {};

TEST_F(ConvergenceTest, TimesAreCopiedToTheNanosecond) {
  scratch_.Write(u"src/sub/f", "f");
  const struct timespec times[2] = {{1500000000, 123456789}, {1600000000, 987654321}};
  ASSERT_EQ(utimensat(AT_FDCWD, scratch_.Fs(u"src/sub/f").c_str(), times, 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, scratch_.Fs(u"src/sub").c_str(), times, 0), 0);
  EXPECT_EQ(Walk(), 1);
  for (const char16_t* copy : {u"dst/sub/f", u"dst/sub"}) {
    const struct stat st = StatOf(scratch_.Fs(copy));
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321) << testing::Bytes(copy);
    EXPECT_EQ(st.st_atim.tv_nsec, 123456789) << testing::Bytes(copy);
  }
  // A copy made before times carried nanoseconds (cut to 100 ns) is not
  // copied again: /OnlyNewer compares at 100 ns on both sides.
  const struct timespec cut[2] = {{1500000000, 123456700}, {1600000000, 987654300}};
  ASSERT_EQ(utimensat(AT_FDCWD, scratch_.Fs(u"dst/sub/f").c_str(), cut, 0), 0);
  Settings.OnlyNewer = 1;
  Counters = RunCounters{};
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.NewerCount + Counters.NewCount, 0);
}

// Mode, owner and user.* attributes changed without a new write time reach
// the copy on the next /OnlyNewer run, its data untouched; a run after that
// writes nothing more (the copy's change time is then the later).
TEST_F(ConvergenceTest, MetadataChangedWithoutNewDataIsCarriedInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  scratch_.Write(u"src/f", "data");
  ASSERT_EQ(chmod(scratch_.Fs(u"src/f").c_str(), 0644), 0);
  Settings.SecurityDescriptor = 1;
  Settings.Attributes = 1;
  Settings.OnlyNewer = 1;
  Settings.Mirror = 1;
  EXPECT_EQ(Walk(), 1);
  const ino_t copy = StatOf(scratch_.Fs(u"dst/f")).st_ino;

  const auto source = scratch_.Fs(u"src/f");
  ASSERT_EQ(chmod(source.c_str(), 0600), 0);
  ASSERT_EQ(lchown(source.c_str(), 4321, 4322), 0);
  ASSERT_EQ(setxattr(source.c_str(), "user.tag", "secret", 6, 0), 0);
  Counters = RunCounters{};
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
  const struct stat st = StatOf(scratch_.Fs(u"dst/f"));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
  EXPECT_EQ(st.st_ino, copy);  // in place: no new copy
  EXPECT_EQ(Counters.NewerCount + Counters.NewCount, 0);
  char value[16] = {};
  EXPECT_EQ(getxattr(scratch_.Fs(u"dst/f").c_str(), "user.tag", value, sizeof value), 6);

  // Settled: the next run leaves the copy alone.
  const struct timespec settled = st.st_ctim;
  Counters = RunCounters{};
  EXPECT_EQ(Walk(), 1);
  const struct stat again = StatOf(scratch_.Fs(u"dst/f"));
  EXPECT_EQ(again.st_ctim.tv_sec, settled.tv_sec);
  EXPECT_EQ(again.st_ctim.tv_nsec, settled.tv_nsec);
}

// What a hand did to the replica (owner and mode of a copy changed, its
// times not) and a link retargeted at the source with the same length and
// time are put right by the next /OnlyNewer run, on every run; a run that
// carries more than the last one compares every copy once.
TEST_F(ConvergenceTest, DamageOnTheReplicaAndRetargetedLinksAreRepaired) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  scratch_.Write(u"src/f", "data");
  ASSERT_EQ(chmod(scratch_.Fs(u"src/f").c_str(), 0600), 0);
  ASSERT_EQ(symlink("aaaa", scratch_.Fs(u"src/link").c_str()), 0);
  Settings.OnlyNewer = 1;
  State.KeepLinks = true;
  EXPECT_EQ(Walk(), 1);  // a plain copy: no security carried
  ASSERT_EQ(chown(scratch_.Fs(u"dst/f").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(scratch_.Fs(u"dst/f").c_str(), 0644), 0);
  struct stat link_before = StatOf(scratch_.Fs(u"src/link"));
  ASSERT_EQ(unlink(scratch_.Fs(u"src/link").c_str()), 0);
  ASSERT_EQ(symlink("bbbb", scratch_.Fs(u"src/link").c_str()), 0);
  const struct timespec times[2] = {link_before.st_atim, link_before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, scratch_.Fs(u"src/link").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  Settings.SecurityDescriptor = 1;  // more carried than last time: every copy compared
  for (int night = 0; night < 2; ++night) {
    SCOPED_TRACE(night);
    Counters = RunCounters{};
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    const struct stat st = StatOf(scratch_.Fs(u"dst/f"));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    char target[8] = {};
    EXPECT_EQ(readlink(scratch_.Fs(u"dst/link").c_str(), target, sizeof target), 4);
    EXPECT_STREQ(target, "bbbb");
    EXPECT_EQ(Counters.NewerCount, night == 0 ? 1 : 0);  // the link, once
    // Damage again, by hand, after the run: caught by owner and mode alone.
    if (night == 0) {
      ASSERT_EQ(chmod(scratch_.Fs(u"dst/f").c_str(), 0666), 0);
    }
  }
}

// A directory a killed run left private (mode 0700, the runner's, without
// its source's times) gets, on the next run, what a new directory gets,
// where it is known as that run's: by its mark, or, cut between its making
// and its mark, by having changed since an unfinished run on the root
// began. One made private by someone else is left as it is.
TEST_F(ConvergenceTest, ADirectoryLeftPrivateGetsANewDirectorysMode) {
  const mode_t umask_now = umask(0);
  umask(umask_now);
  const struct {
    const char* name;
    bool marked;
    int unfinished_run_began;  // seconds before now; 0: no unfinished run
    mode_t mode;
  } cases[] = {
      {"marked", true, 0, 0777u & ~umask_now},
      {"unmarked, made after an unfinished run began", false, 3600, 0777u & ~umask_now},
      {"unmarked, no unfinished run", false, 0, 0700},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(scratch_.Fs(u"dst"));
    scratch_.Write(u"src/sub/f", "f");
    scratch_.Write(u"dst/sub/f", "f");
    ASSERT_EQ(chmod(scratch_.Fs(u"dst/sub").c_str(), 0700), 0);
    if (c.marked) {
      ASSERT_EQ(setxattr(scratch_.Fs(u"dst/sub").c_str(), "trusted.velmox.private", "1", 1, 0), 0);
    }
    if (c.unfinished_run_began != 0) {
      constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;
      const uint64_t began = kUnixEpochTicks + (static_cast<uint64_t>(time(nullptr)) -
                                                c.unfinished_run_began) * 10000000ULL;
      unsigned char value[8];
      for (int i = 0; i < 8; ++i) value[i] = static_cast<unsigned char>(began >> (8 * i));
      ASSERT_EQ(setxattr(scratch_.Fs(u"dst").c_str(), "trusted.velmox.running.cut", value,
                         sizeof value, 0),
                0);
    }
    testing::SetLastWriteTicks(P(u"dst/sub"), testing::k2020);
    Settings.OnlyNewer = 1;
    Counters = RunCounters{};
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    EXPECT_EQ(StatOf(scratch_.Fs(u"dst/sub")).st_mode & 0777, c.mode);
    // A healed one keeps no mark; one left alone keeps what it had.
    char value[8];
    const bool marked_now =
        getxattr(scratch_.Fs(u"dst/sub").c_str(), "trusted.velmox.private", value, sizeof value) > 0;
    EXPECT_EQ(marked_now, c.marked && c.mode == 0700);
  }
}

// Hard links between symbolic links and between FIFOs (what a `cp -al`
// snapshot holds) stay one object in the copy, and a rerun joins a name
// split off again.
TEST_F(ConvergenceTest, HardLinkedLinksAndSpecialFilesStayOneObject) {
  ASSERT_EQ(symlink("target", scratch_.Fs(u"src/l1").c_str()), 0);
  ASSERT_EQ(linkat(AT_FDCWD, scratch_.Fs(u"src/l1").c_str(), AT_FDCWD,
                   scratch_.Fs(u"src/l2").c_str(), 0),
            0);
  ASSERT_EQ(mkfifo(scratch_.Fs(u"src/p1").c_str(), 0600), 0);
  ASSERT_EQ(link(scratch_.Fs(u"src/p1").c_str(), scratch_.Fs(u"src/p2").c_str()), 0);
  State.KeepLinks = true;
  Settings.HardLinks = 1;
  Settings.Specials = 1;
  Settings.OnlyNewer = 1;
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
  for (const auto& [first, second] : {std::pair{u"dst/l1", u"dst/l2"}, {u"dst/p1", u"dst/p2"}}) {
    EXPECT_EQ(StatOf(scratch_.Fs(first)).st_ino, StatOf(scratch_.Fs(second)).st_ino)
        << testing::Bytes(first);
  }
  // Split the links' group; the rerun joins it again.
  ASSERT_EQ(unlink(scratch_.Fs(u"dst/l2").c_str()), 0);
  ASSERT_EQ(symlink("target", scratch_.Fs(u"dst/l2").c_str()), 0);
  const struct timespec times[2] = {StatOf(scratch_.Fs(u"dst/l1")).st_atim,
                                    StatOf(scratch_.Fs(u"dst/l1")).st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, scratch_.Fs(u"dst/l2").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  Registries.HardLinkCopies.Clear();
  Counters = RunCounters{};
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
  EXPECT_EQ(StatOf(scratch_.Fs(u"dst/l1")).st_ino, StatOf(scratch_.Fs(u"dst/l2")).st_ino);
}

// New data under a replaced file's kept security loses the set-id bits;
// with /SecurityDescriptor the source's security, set-id bits and all, is
// carried as before.
TEST_F(ConvergenceTest, ReplacedDataDropsTheSetIdBitsItDidNotBringAlong) {
  scratch_.Write(u"dst/tool", "the administrator's program");
  ASSERT_EQ(chmod(scratch_.Fs(u"dst/tool").c_str(), 06755), 0);
  testing::SetLastWriteTicks(P(u"dst/tool"), testing::k2020);
  scratch_.Write(u"src/tool", "a user's bytes");
  ASSERT_EQ(chmod(scratch_.Fs(u"src/tool").c_str(), 06755), 0);
  Settings.OnlyNewer = 1;
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(scratch_.Read(u"dst/tool"), "a user's bytes");
  EXPECT_EQ(StatOf(scratch_.Fs(u"dst/tool")).st_mode & 07777, 0755u);

  scratch_.Write(u"src/tool", "a user's bytes, again");
  Settings.SecurityDescriptor = 1;
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(StatOf(scratch_.Fs(u"dst/tool")).st_mode & 07777, 06755u);
}

// Followed links (/FollowLinks) on Linux: one a user planted to a file only
// root may read is refused; one to the user's own file, or root's own link,
// is followed.
TEST_F(ConvergenceTest, AFollowedLinkIsFollowedOnlyWhereItsOwnerCouldReadItsTarget) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give links away";
  scratch_.Write(u"secret", "root only");
  ASSERT_EQ(chmod(scratch_.Fs(u"secret").c_str(), 0600), 0);
  scratch_.Write(u"users", "the user's");
  ASSERT_EQ(chown(scratch_.Fs(u"users").c_str(), 4321, 4321), 0);
  const struct {
    const char* name;
    const char16_t* target;
    uid_t link_owner;
    bool followed;
  } cases[] = {{"planted", u"secret", 4321, false},
               {"own", u"users", 4321, true},
               {"roots", u"secret", 0, true}};
  for (const auto& c : cases) {
    const std::string link = (scratch_.Fs(u"src") / c.name).string();
    ASSERT_EQ(symlink(scratch_.Fs(c.target).c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), c.link_owner, c.link_owner), 0);
  }
  State.KeepLinks = false;
  Walk();
  EXPECT_EQ(Counters.ErrorCount, 1) << ErrorLog();
  for (const auto& c : cases) {
    const std::filesystem::path copy = scratch_.Fs(u"dst") / c.name;
    EXPECT_EQ(std::filesystem::exists(copy), c.followed) << c.name;
  }
  EXPECT_NE(ErrorLog().find("CopyOneFile:FollowLink(SOURCE) (1920)"), std::string::npos);
}

// A directory that existed has its security and attributes compared where
// either side may have changed since the last ended run, as a file has: a
// night with nothing to do compares none, one after a change (at the
// source or to the copy by hand) compares the directory changed. A night
// that changed only a directory's times records its end too, as does one
// that compared copies changed since the record and found them as carried,
// so the night after compares nothing. (Here the setters write
// nothing where the copy matches, so a compared directory keeps its change
// time.)
TEST_F(ConvergenceTest, ANightComparesTheSecurityOfDirectoriesThatMayDiffer) {
  scratch_.Write(u"src/a", "a");
  scratch_.Write(u"src/sub/b", "bb");
  testing::FaultInjector faults;
  faults.StandInMarks();
  Settings.OnlyNewer = 1;
  Settings.SecurityDescriptor = 1;
  Settings.Attributes = 1;
  namespace fs = std::filesystem;
  const struct {
    const char* what;
    const char16_t* changed;  // a directory whose permissions change, or none
    int compared;             // directories given the source's security and attributes
    std::function<void()> night_before = nullptr;  // a change a night before carries
  } cases[] = {
      {"nothing to do", nullptr, 0},
      {"the source directory's permissions", u"src/sub", 1},
      {"the copy's permissions, by hand", u"dst/sub", 1},
      {"nothing to do after a night of times only", nullptr, 0,
       [&] { testing::SetLastWriteTicks(scratch_.Path(u"dst/sub"), testing::k2020); }},
      {"nothing to do after a night that found the copies as they were", nullptr, 0,
       [&] {
         // The last night's end recorded a second early: every copy it
         // wrote changed since.
         std::string& ended = faults.Marks()[destination_ + kPathSeparator + u"ended"];
         ASSERT_EQ(ended.size(), 8u);
         uint64_t ticks = 0;
         for (int byte = 7; byte >= 0; --byte) {
           ticks = ticks << 8 | static_cast<unsigned char>(ended[static_cast<size_t>(byte)]);
         }
         ticks -= 10'000'000;
         for (int byte = 0; byte < 8; ++byte) {
           ended[static_cast<size_t>(byte)] = static_cast<char>(ticks >> (8 * byte));
         }
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::permissions(scratch_.Fs(u"src/sub"), fs::perms::owner_write, fs::perm_options::add);
    fs::remove_all(scratch_.Fs(u"dst"));
    scratch_.MakeDir(u"dst");
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Walk(), 1);  // settles the access times the first night's listing moved
    if (c.night_before) {
      c.night_before();
      EXPECT_EQ(Walk(), 1);
    }
    if (c.changed != nullptr) {
      fs::permissions(scratch_.Fs(c.changed), fs::perms::owner_write, fs::perm_options::remove);
    }
    const int before = faults.Calls(testing::Call::kSetKernelObjectSecurity);
    const int attributes_before = faults.Calls(testing::Call::kCopyAttributes);
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    EXPECT_EQ(faults.Calls(testing::Call::kSetKernelObjectSecurity) - before, c.compared);
    // Its attributes likewise, when its subtree is done.
    EXPECT_EQ(faults.Calls(testing::Call::kCopyAttributes) - attributes_before, c.compared);
  }
  fs::permissions(scratch_.Fs(u"src/sub"), fs::perms::owner_write, fs::perm_options::add);
}

}  // namespace
}  // namespace vx
