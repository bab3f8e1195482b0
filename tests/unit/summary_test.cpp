#include "run/summary.h"

#include <gtest/gtest.h>

#include "run/run_state.h"
#include "scratch.h"

namespace vx {
namespace {

std::string Joined(const std::vector<std::u16string>& lines) {
  std::string out;
  for (const std::u16string& line : lines) out += testing::Bytes(line);
  return out;
}

class SummaryTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetRun(); }
  void TearDown() override { ResetRun(); }
};

TEST_F(SummaryTest, ConsoleFormHasAllThirteenLines) {
  Counters = RunCounters{2, 3, 1, 1, 1, 4, 131072};
  EXPECT_EQ(Joined(SummaryLines(3725, false)),
            "\r\n-------------------------------------------\r\n"
            "Directories    : 2\r\n"
            "Files          : 3\r\n"
            "   -new        : 1\r\n"
            "   -newer      : 1\r\n"
            "   -overwritten: 1\r\n"
            "Errors         : 4\r\n"
            "Size (Byte)    : 131072\r\n"
            "Size (KB)      : 128\r\n"
            "Size (MB)      : 0.13\r\n"
            "Size (GB)      : 0.00\r\n"
            "\r\n"
            "Elapsed time   : 01:02:05\r\n");
}

TEST_F(SummaryTest, LogFormLeavesOutTheEmptyLineBeforeTheTime) {
  Counters.ByteCount = 3221225472ULL;
  const std::string log = Joined(SummaryLines(0, true));
  EXPECT_NE(log.find("Size (KB)      : 3145728\r\nSize (MB)      : 3072.00\r\n"
                     "Size (GB)      : 3.00\r\nElapsed time   : 00:00:00\r\n"),
            std::string::npos);
}

TEST_F(SummaryTest, LargeCountsAndOddElapsedTimes) {
  Counters.ByteCount = 1ULL << 41;
  const std::string text = Joined(SummaryLines(360000, false));
  EXPECT_NE(text.find("Size (Byte)    : 2199023255552\r\n"), std::string::npos);
  EXPECT_NE(text.find("Size (KB)      : 2147483648\r\n"), std::string::npos);
  EXPECT_NE(text.find("Size (GB)      : 2048.00\r\n"), std::string::npos);
  EXPECT_NE(text.find("Elapsed time   : 100:00:00\r\n"), std::string::npos);
  EXPECT_NE(Joined(SummaryLines(-65, false)).find("Elapsed time   : 00:-1:-5\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace vx
