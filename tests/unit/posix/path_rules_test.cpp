#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/platform.h"
#include "run/command_line.h"
#include "run/run_state.h"
#include "scratch.h"

namespace vx {
namespace {

TEST(PosixRootPathTest, AbsolutePathsStandAsTheyAre) {
  std::u16string out;
  ASSERT_EQ(PrepareRootPath(u"/srv/data/", &out), RootPathForm::kPrepared);
  EXPECT_EQ(out, u"/srv/data/");
}

TEST(PosixRootPathTest, RelativePathsHangBelowTheCurrentDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  std::u16string out;
  ASSERT_EQ(PrepareRootPath(u"data/x", &out), RootPathForm::kPrepared);
  std::u16string expected;
  for (const char* c = cwd; *c; ++c) expected.push_back(static_cast<unsigned char>(*c));
  EXPECT_EQ(out, expected + u"/data/x");
}

TEST(PosixRootPathTest, TwoUnitMinimumStillHolds) {
  testing::ConsoleCapture capture;
  EXPECT_EQ(testing::RunVelmox({u"/Source:.", u"/Dest:/tmp/x"}), -1);
  EXPECT_EQ(capture.Text(), "Source or destination path too short (2 char minimum).\r\n");
}

TEST(PosixRootPathTest, SourceRootLengthCountsThePreparedSource) {
  testing::ConsoleCapture capture;
  const char16_t* argv[] = {u"velmox", u"/source:/Data/Mixed", u"/Dest:rel"};
  ResetRun();
  ParseArguments(3, argv);
  ASSERT_TRUE(ValidateSettings());
  EXPECT_EQ(State.SourceRootLength, 11u);
  EXPECT_TRUE(std::u16string(Settings.Destination).ends_with(u"/rel"));
}

}  // namespace
}  // namespace vx
