// A tree deeper than the walk keeps directories open: the oldest are closed
// on the way down and opened again on the way up, so the handles open at
// the bottom stay bounded; the copy is what a shallow walk gives, with one
// thread or four; a directory that cannot be opened again is one ERR each,
// and what was copied below it stays.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>

#include "fault_injection.h"
#include "scratch.h"

namespace vx {
namespace {

using testing::Call;
using testing::ConsoleCapture;
using testing::Fault;
using testing::FaultInjector;
using testing::k2020;
using testing::LastWriteTicks;
using testing::RunVelmox;
using testing::Scratch;
using testing::SetLastWriteTicks;

constexpr int kDepth = 150;  // deeper than the directories a walk keeps open (128)
// Two handles for each directory kept open, and a few for the run itself.
constexpr size_t kMostOpenHandles = 2 * 128 + 16;

std::u16string Chain(int levels) {
  std::u16string path = u"src";
  for (int i = 0; i < levels; ++i) path += u"/d";
  return path;
}

class DeepWalkTest : public ::testing::Test {
 protected:
  // src/d/.../d, each directory holding files "a" and "z" beside its "d"
  // (listed before or after it, as the file system orders them), the
  // bottom one "leaf"; every directory of 2020.
  void SetUp() override {
    scratch_.MakeDir(Chain(kDepth));
    scratch_.Write(Chain(kDepth) + u"/leaf", "bottom");
    for (int level = kDepth; level >= 0; --level) {
      scratch_.Write(Chain(level) + u"/a", "a");
      scratch_.Write(Chain(level) + u"/z", "z");
      SetLastWriteTicks(scratch_.Path(Chain(level)), k2020);
    }
  }

  int Run(const std::u16string& threads, const std::u16string& destination = u"dst") {
    return RunVelmox({u"/Source:" + scratch_.Path(u"src"), u"/Dest:" + scratch_.Path(destination),
                      u"/SubDirectories", u"/CreateDestinationDirectory", u"/Silent", threads,
                      u"/ErrorLog:" + scratch_.Path(u"run.err")});
  }

  static std::u16string Copied(int level, const std::u16string& destination = u"dst") {
    return destination + Chain(level).substr(3);
  }

  Scratch scratch_;
  ConsoleCapture console_;
};

TEST_F(DeepWalkTest, DeeperThanItKeepsOpenCopiesWholeWithBoundedHandles) {
  for (const char16_t* threads : {u"/Threads:1", u"/Threads:4"}) {
    SCOPED_TRACE(testing::Bytes(threads));
    // A destination of its own each: paths this long are beyond what a
    // plain removal reaches on Windows.
    const std::u16string destination = u"dst" + std::u16string(threads).substr(9);
    size_t open_at_bottom = 0;
    {
      FaultInjector faults;
      faults.Add(Fault{Call::kCreateFileW, 1, std::u16string(1, kPathSeparator) + u"leaf", 0, 0,
                       Fault::Kind::kBefore, 0,
                       [&] { open_at_bottom = faults.OpenHandles().size(); }});
      EXPECT_EQ(Run(threads, destination), 0) << scratch_.Read(u"run.err");
    }
    EXPECT_GT(open_at_bottom, 0u);
    EXPECT_LE(open_at_bottom, kMostOpenHandles);
    EXPECT_EQ(scratch_.Read(Copied(kDepth, destination) + u"/leaf"), "bottom");
    int unfinished = 0;
    int missing = 0;
    for (int level = 0; level <= kDepth; ++level) {
      const std::u16string copied = Copied(level, destination);
      unfinished += LastWriteTicks(scratch_.Path(copied)) != k2020;
      missing += !scratch_.Exists(copied + u"/a") + !scratch_.Exists(copied + u"/z");
    }
    EXPECT_EQ(unfinished, 0);
    EXPECT_EQ(missing, 0);
  }
}

// /List over a copy of only the top ten levels: below them the destination
// is missing, and the walk parks only directories it can come back to on
// both sides.
TEST_F(DeepWalkTest, ListingAPartialCopyParksOnlyWhatItCanReturnTo) {
  std::string top_ten;
  for (int level = 0; level < 10; ++level) top_ten += "d/";
  scratch_.Write(u"top-ten", top_ten + "a\n");
  ASSERT_EQ(RunVelmox({u"/Source:" + scratch_.Path(u"src"), u"/Dest:" + scratch_.Path(u"dst"),
                       u"/CreateDestinationDirectory", u"/Silent",
                       u"/Files:" + scratch_.Path(u"top-ten")}),
            0);
  ASSERT_TRUE(scratch_.Exists(Copied(10) + u"/a"));
  EXPECT_EQ(RunVelmox({u"/Source:" + scratch_.Path(u"src"), u"/Dest:" + scratch_.Path(u"dst"),
                       u"/SubDirectories", u"/OnlyNewer", u"/List", u"/Silent",
                       u"/ErrorLog:" + scratch_.Path(u"run.err")}),
            0)
      << scratch_.Read(u"run.err");
  EXPECT_FALSE(scratch_.Exists(Copied(11)));
}

TEST_F(DeepWalkTest, ADirectoryThatCannotBeOpenedAgainIsOneErrorEach) {
  int result = 0;
  {
    FaultInjector faults;
    const std::u16string below_source = u"src" + std::u16string(1, kPathSeparator) + u"d";
    faults.Add(Fault{Call::kOpenParentDirectory, 1, below_source, ERROR_ACCESS_DENIED});
    result = Run(u"/Threads:1");
  }
  std::istringstream errors(scratch_.Read(u"run.err"));
  const std::regex err_line(R"(ERR  \d{6}: (.*): .* at (\S+) \((\d+)\)\r?)");
  int count = 0;
  std::string last_path;
  for (std::string line; std::getline(errors, line);) {
    if (line.rfind("ERR  ", 0) != 0) continue;
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, err_line)) << line;
    EXPECT_EQ(parts[2], "CopyOneDirectory:Reopen(SOURCE-DIR)") << line;
    // The one refused first; each directory above it, up to one still
    // open, is then out of reach.
    EXPECT_EQ(parts[3], count == 0 ? "5" : "1006") << line;
    // Each names its own directory, one level up from the one before.
    const std::string path = parts[1];
    if (count > 0) {
      EXPECT_EQ(path + testing::Bytes(std::u16string(1, kPathSeparator) + u"d"), last_path);
    }
    last_path = path;
    ++count;
  }
  EXPECT_GT(count, 0);
  EXPECT_EQ(result, count);
  // The last, the first directory parked, is the one below the root.
  const std::string sep = testing::Bytes(std::u16string(1, kPathSeparator));
  const std::string top = sep + "src" + sep + "d";
  EXPECT_EQ(last_path.substr(last_path.size() - std::min(last_path.size(), top.size())), top);
  // Below them every directory was finished.
  EXPECT_EQ(scratch_.Read(Copied(kDepth) + u"/leaf"), "bottom");
  EXPECT_EQ(LastWriteTicks(scratch_.Path(Copied(kDepth - 1))), k2020);
  EXPECT_EQ(LastWriteTicks(scratch_.Path(Copied(0))), k2020);
}

}  // namespace
}  // namespace vx
