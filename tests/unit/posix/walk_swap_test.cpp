// A destination directory swapped for a link while the walk is inside it
// cannot lead the rest of its files out of the destination: every open below
// the root is relative to the directory handle the walk already holds.
#include <gtest/gtest.h>

#include <filesystem>

#include "copy/copy_directory.h"
#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::Fault;
using testing::FaultInjector;

class WalkSwapTest : public testing::CopyFixture {};

TEST_F(WalkSwapTest, DirectorySwappedForALinkMidWalkIsNotFollowed) {
  scratch_.MakeDir(u"src/sub");
  for (const char16_t* name : {u"src/sub/f1", u"src/sub/f2", u"src/sub/f3"}) {
    scratch_.Write(name, "data");
  }
  scratch_.MakeDir(u"outside");
  const std::u16string source = P(u"src");
  const std::u16string destination = P(u"dst");
  Settings.Source = source.c_str();
  Settings.Destination = destination.c_str();
  Settings.SubDirectories = 1;
  FaultInjector faults;
  Bind();
  // Once the walk has entered dst/sub, it is moved away and a link to
  // `outside` put in its place.
  faults.Add(Fault{Call::kCreateFileW, 1, Frag(u"src/sub/"), 0, 0, Fault::Kind::kBefore, 0, [&] {
                     std::filesystem::rename(scratch_.Fs(u"dst/sub"), scratch_.Fs(u"dst/moved"));
                     std::filesystem::create_directory_symlink(scratch_.Fs(u"outside"),
                                                               scratch_.Fs(u"dst/sub"));
                   }});
  EXPECT_EQ(CopyOneDirectory(source), 1);
  EXPECT_EQ(Counters.ErrorCount, 0);
  EXPECT_TRUE(std::filesystem::is_empty(scratch_.Fs(u"outside")));
  for (const char16_t* name : {u"dst/moved/f1", u"dst/moved/f2", u"dst/moved/f3"}) {
    EXPECT_EQ(scratch_.Read(name), "data");
  }
  EXPECT_TRUE(faults.OpenHandles().empty());
}

}  // namespace
}  // namespace vx
