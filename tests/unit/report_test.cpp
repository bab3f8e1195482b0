#include "report/report.h"

#include <gtest/gtest.h>

#include "fault_injection.h"
#include "run/run_state.h"
#include "scratch.h"

namespace vx {
namespace {

using testing::Bytes;
using testing::Call;
using testing::ConsoleCapture;
using testing::Fault;
using testing::FaultInjector;
using testing::Scratch;

HANDLE CreateForWriting(const std::u16string& path) {
  return Os().CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRun();
    State.RtlNtStatusToDosError = reinterpret_cast<RtlNtStatusToDosErrorFn>(
        Os().GetProcAddress(Os().GetModuleHandleA("ntdll.dll"), "RtlNtStatusToDosError"));
    State.Log.Attach(CreateForWriting(scratch_.Path(u"log")), Sink::Delivery::kBlocks, true);
    State.ErrorLog.Attach(CreateForWriting(scratch_.Path(u"err")), Sink::Delivery::kBlocks, true);
  }
  void TearDown() override { ResetRun(); }

  std::string Log() { return scratch_.Read(u"log"); }
  std::string ErrorLog() { return scratch_.Read(u"err"); }

  Scratch scratch_;
  ConsoleCapture console_;
};

TEST_F(ReportTest, Win32ErrorLineGoesToEverySinkAndTheErrorLogAtOnce) {
  ReportWin32Error(u"C:\\x\\caf\u00e9", u"CopyOneFile:ReadFile(SOURCE)", ERROR_ACCESS_DENIED);
  const std::string line =
      testing::ErrLine(1, u"C:\\x\\caf\u00e9", u"CopyOneFile:ReadFile(SOURCE)", 5);
  EXPECT_EQ(Counters.ErrorCount, 1);
  EXPECT_EQ(console_.Text(), line);
  EXPECT_EQ(ErrorLog(), line);  // flushed, readable before the run ends
  EXPECT_EQ(Log(), "");         // the log waits for its block
  State.Log.Flush();
  EXPECT_EQ(Log(), line);
}

TEST_F(ReportTest, SilentKeepsTheConsoleEmptyButCountsAndLogs) {
  Settings.Silent = 1;
  ReportWin32Error(u"s", u"c", ERROR_FILE_NOT_FOUND);
  ReportShortWrite(u"d", 65536, 4096);
  EXPECT_EQ(Counters.ErrorCount, 2);
  EXPECT_EQ(console_.Text(), "");
  EXPECT_EQ(ErrorLog(), testing::ErrLine(1, u"s", u"c", 2) +
                            "ERR  000002: d: 65536 bytes read and 4096 bytes written\r\n");
}

TEST_F(ReportTest, NtStatusLineCarriesStatusAndDosCode) {
  const NTSTATUS access_denied = static_cast<NTSTATUS>(0xC0000022);
  ReportNtStatus(u"C:\\dir", u"NtQueryDirectoryFile()", access_denied);
  std::string expected = testing::ErrLine(1, u"C:\\dir", u"NtQueryDirectoryFile()", 5);
  expected.replace(expected.rfind("(5)"), 3, "(NT:0xC0000022,DOS:5)");
  EXPECT_EQ(ErrorLog(), expected);
}

TEST_F(ReportTest, FailedMessageLookupLeavesTheRestOfTheLineIntact) {
  FaultInjector faults;
  faults.Add(Fault{Call::kFormatMessageW, 1});
  ReportWin32Error(u"s", u"ctx", 12345);
  EXPECT_EQ(ErrorLog(), "ERR  000001: s:  at ctx (12345)\r\n");
}

TEST_F(ReportTest, ErrorNumbersKeepASeventhDigit) {
  Counters.ErrorCount = 999999;
  ReportShortWrite(u"d", 1, 0);
  EXPECT_EQ(ErrorLog(), "ERR  1000000: d: 1 bytes read and 0 bytes written\r\n");
}

TEST_F(ReportTest, DirAndFileLinesNeverReachTheErrorLog) {
  AnnounceDirectory(u"C:\\s");
  AnnounceFile(u"C:\\s\\a", 1023);
  AnnounceFile(u"C:\\s\\b", 1024);
  AnnounceFile(u"C:\\s\\\u0416", uint64_t{5} << 40);  // beyond the 32-bit KB range
  EXPECT_EQ(Counters.DirectoryCount, 1);
  EXPECT_EQ(Counters.FileCount, 3);
  const std::string expected =
      "DIR  000001: C:\\s\r\nFILE 000001: C:\\s\\a (0 KB)\r\nFILE 000002: C:\\s\\b (1 KB)\r\n"
      "FILE 000003: C:\\s\\<U+0416> (5368709120 KB)\r\n";
  EXPECT_EQ(console_.Text(), expected);
  State.Log.Flush();
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(ErrorLog(), "");
}

TEST_F(ReportTest, LogIsHandedOverInWholeBlocks) {
  const std::u16string path(200, u'p');
  int lines = 0;
  while (Log().empty()) {
    AnnounceDirectory(path);
    ++lines;
  }
  EXPECT_EQ(Log().size(), Sink::kBlockBytes);
  EXPECT_EQ(lines, static_cast<int>(Sink::kBlockBytes / (200 + 14)) + 1);
}

TEST_F(ReportTest, SilentWithNoLogsOnlyCounts) {
  Settings.Silent = 1;
  State.Log.Close();
  State.ErrorLog.Close();
  AnnounceDirectory(u"d");
  ReportWin32Error(u"s", u"c", 5);
  EXPECT_EQ(Counters.DirectoryCount, 1);
  EXPECT_EQ(Counters.ErrorCount, 1);
  EXPECT_EQ(console_.Text(), "");
}

}  // namespace
}  // namespace vx
