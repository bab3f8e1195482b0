// Requests to stop, delivered through the seam at an exact point of a whole
// run: the file being written never reaches its name, one ERR line reports
// it, the walk unwinds, the summary is written, and an /OnlyNewer rerun
// completes the copy.
#include "run/stop.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "fault_injection.h"
#include "scratch.h"

namespace vx {
namespace {

using testing::Call;
using testing::ConsoleCapture;
using testing::Fault;
using testing::FaultInjector;
using testing::RunVelmox;
using testing::Scratch;
using testing::SetLastWriteTicks;

class StopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_.MakeDir(u"src/sub");
    scratch_.Write(u"src/big", std::string(3 * 65536, 'b'));
    scratch_.Write(u"src/sub/x", "x");
    SetLastWriteTicks(scratch_.Path(u"src/big"), testing::k2020);
  }
  int Run(std::u16string_view more) {
    return RunVelmox({u"/Source:" + scratch_.Path(u"src"), u"/Dest:" + scratch_.Path(u"dst"),
                      u"/SubDirectories", u"/CreateDestinationDirectory", u"/CopyBufferSize:64",
                      std::u16string(more), u"/Log:" + scratch_.Path(u"run.log"),
                      u"/ErrorLog:" + scratch_.Path(u"run.err")});
  }
  // Requests to stop, `count` of them, while the second chunk of src/big is
  // read.
  Fault StopAfterFirstChunk(int count) {
    return Fault{Call::kReadFile, 2, u"big", 0, 0, Fault::Kind::kBefore, 0, [count] {
                   for (int i = 0; i < count; ++i) OnStopRequest(CTRL_C_EVENT);
                 }};
  }
  std::vector<std::string> LogLines() {
    std::istringstream log(scratch_.Read(u"run.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
  }

  Scratch scratch_;
  ConsoleCapture console_;
};

TEST_F(StopTest, FirstRequestDropsTheFileReportsOnceUnwindsAndARerunCompletes) {
  {
    FaultInjector faults;
  faults.BufferOnly();
    faults.Add(StopAfterFirstChunk(1));
    EXPECT_EQ(Run(u"/Silent"), 1);
    EXPECT_TRUE(faults.Exits().empty());
  }
  EXPECT_FALSE(scratch_.Exists(u"dst/big"));
  for (const auto& entry : std::filesystem::directory_iterator(scratch_.Fs(u"dst"))) {
    EXPECT_EQ(entry.path().filename(), "sub");  // no temporary file left
  }
  const std::string err = scratch_.Read(u"run.err");
  EXPECT_NE(err.find("big: "), std::string::npos);
  EXPECT_NE(err.find(" at CopyOneFile:Interrupted(DESTINATION) (995)\r\n"), std::string::npos);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  // Nothing is walked after the request, and the summary still closes the
  // log.
  const std::vector<std::string> lines = LogLines();
  size_t err_at = 0;
  while (err_at < lines.size() && lines[err_at].rfind("ERR", 0) != 0) ++err_at;
  for (size_t i = err_at + 1; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].rfind("DIR", 0), 0u) << lines[i];
    EXPECT_NE(lines[i].rfind("FILE", 0), 0u) << lines[i];
  }
  EXPECT_NE(scratch_.Read(u"run.log").find("Errors         : 1\r\n"), std::string::npos);

  EXPECT_EQ(Run(u"/OnlyNewer"), 0);
  EXPECT_TRUE(scratch_.Read(u"dst/big") == scratch_.Read(u"src/big"));
  EXPECT_EQ(scratch_.Read(u"dst/sub/x"), "x");
}

// With workers, files handed over but not yet begun when the request comes
// are never begun: only what was under way may have reached the disk, and
// only that is counted.
TEST_F(StopTest, QueuedFilesAreNotBegunAfterARequest) {
  for (int i = 0; i < 64; ++i) {
    scratch_.Write(u"src/many/f" + std::u16string(1, static_cast<char16_t>(u'A' + i / 26)) +
                       std::u16string(1, static_cast<char16_t>(u'a' + i % 26)),
                   "x");
  }
  {
    FaultInjector faults;
    faults.Add(Fault{Call::kCreateFileW, 3, u"many", 0, 0, Fault::Kind::kBefore, 0,
                     [] { OnStopRequest(CTRL_C_EVENT); }});
    EXPECT_GE(Run(u"/Threads:2"), 1);
  }
  size_t copied = 0;
  if (std::filesystem::exists(scratch_.Fs(u"dst/many"))) {
    for (const auto& entry : std::filesystem::directory_iterator(scratch_.Fs(u"dst/many"))) {
      copied += entry.is_regular_file() ? 1 : 0;
    }
  }
  EXPECT_LE(copied, 3u);
  const std::string log = scratch_.Read(u"run.log");
  const size_t row = log.find("   -new        : ");
  ASSERT_NE(row, std::string::npos);
  // big and sub/x may be done; a file a copier had under way may have been
  // decided, and so counted, before the request cut it off (one a copier).
  EXPECT_LE(std::stoul(log.substr(row + 17)), copied + 2 + 2);
}

TEST_F(StopTest, RequestBetweenEntriesNamesTheDirectory) {
  FaultInjector faults;
  faults.BufferOnly();
  // The request comes while src/sub is listed; it is noticed before the
  // next entry.
  faults.Add(Fault{Call::kNtQueryDirectoryFile, 1, u"sub", 0, 0, Fault::Kind::kBefore, 0,
                   [] { OnStopRequest(CTRL_CLOSE_EVENT); }});
  EXPECT_EQ(Run(u"/Silent"), 1);
  const std::string err = scratch_.Read(u"run.err");
  EXPECT_NE(err.find("sub: "), std::string::npos) << err;
  EXPECT_NE(err.find(" at CopyOneDirectory:Interrupted(SOURCE-DIR) (995)\r\n"), std::string::npos);
  EXPECT_TRUE(faults.OpenHandles().empty());
}

TEST_F(StopTest, SecondRequestEndsTheProcessLeavingTheOldFile) {
  scratch_.MakeDir(u"dst");
  scratch_.Write(u"dst/big", "old");
  FaultInjector faults;
  faults.BufferOnly();
  std::string at_exit;
  faults.Add(Fault{Call::kReadFile, 2, u"big", 0, 0, Fault::Kind::kBefore, 0, [&] {
                     OnStopRequest(CTRL_C_EVENT);
                     OnStopRequest(CTRL_BREAK_EVENT);
                     at_exit = scratch_.Read(u"dst/big");
                   }});
  Run(u"/Overwrite");
  EXPECT_EQ(faults.Exits(), std::vector<UINT>{static_cast<UINT>(-1)});
  EXPECT_EQ(at_exit, "old");
}

}  // namespace
}  // namespace vx
