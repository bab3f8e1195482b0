// Requests to stop, delivered through the seam at an exact point of a whole
// run: the open file is marked, one ERR line reports it, the walk unwinds,
// the summary is written, and an /OnlyNewer rerun repairs the copy.
#include "run/stop.h"

#include <gtest/gtest.h>

#include <sstream>

#include "fault_injection.h"
#include "scratch.h"

namespace vx {
namespace {

using testing::Call;
using testing::ConsoleCapture;
using testing::Fault;
using testing::FaultInjector;
using testing::LastWriteTicks;
using testing::RunVelmox;
using testing::Scratch;
using testing::SetLastWriteTicks;
using testing::k1980;
using testing::k2020;

class StopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_.MakeDir(u"src/sub");
    scratch_.Write(u"src/big", std::string(3 * 65536, 'b'));
    scratch_.Write(u"src/sub/x", "x");
    SetLastWriteTicks(scratch_.Path(u"src/big"), k2020);
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

TEST_F(StopTest, FirstRequestMarksTheFileReportsOnceUnwindsAndARerunRepairs) {
  {
    FaultInjector faults;
  faults.BufferOnly();
    faults.Add(StopAfterFirstChunk(1));
    EXPECT_EQ(Run(u"/Silent"), 1);
    EXPECT_TRUE(faults.Exits().empty());
  }
  EXPECT_EQ(scratch_.Read(u"dst/big").size(), 2u * 65536);  // noticed before the third
  EXPECT_EQ(LastWriteTicks(scratch_.Path(u"dst/big")), k1980);
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

TEST_F(StopTest, SecondRequestMarksTheOpenFileAndEndsTheProcess) {
  FaultInjector faults;
  faults.BufferOnly();
  uint64_t marked_at_exit = 0;
  faults.Add(Fault{Call::kReadFile, 2, u"big", 0, 0, Fault::Kind::kBefore, 0, [&] {
                     OnStopRequest(CTRL_C_EVENT);
                     OnStopRequest(CTRL_BREAK_EVENT);
                     marked_at_exit = LastWriteTicks(scratch_.Path(u"dst/big"));
                   }});
  Run(u"/Silent");
  EXPECT_EQ(faults.Exits(), std::vector<UINT>{static_cast<UINT>(-1)});
  EXPECT_EQ(marked_at_exit, k1980);
}

// Where the platform can keep writes from moving the last-write time, a new
// file carries the mark before its first write, so a killed process leaves
// it marked. Wine moves the time on every write whatever the handle asks,
// so the calls are what can be shown here.
TEST_F(StopTest, NewFilesAreMarkedFromTheStartWhereWritesCanBeKeptFromMovingTheTime) {
  FaultInjector faults;
  faults.BufferOnly();
  std::vector<std::string> first;  // the first call of each kind on dst/big, in order
  for (auto [call, name] :
       {std::pair{Call::kFreezeLastWriteTime, "freeze"}, std::pair{Call::kSetFileTime, "time"},
        std::pair{Call::kWriteFile, "write"}}) {
    faults.Add(Fault{call, 1, u"big", 0, 0, Fault::Kind::kBefore, 0,
                     [&first, name = std::string(name)] { first.push_back(name); }});
  }
  EXPECT_EQ(Run(u"/Silent"), 0);
  if (NativePlatform().FreezeLastWriteTime != nullptr) {
    EXPECT_EQ(first, (std::vector<std::string>{"freeze", "time", "write"}));
  } else {
    EXPECT_EQ(first.front(), "write");
  }
  EXPECT_EQ(LastWriteTicks(scratch_.Path(u"dst/big")), k2020);
}

}  // namespace
}  // namespace vx
