// /Verify against a replica damaged in each way it can be, on both builds:
// every damage is one DIFF line with its text, nothing is written, and the
// exit status counts errors and differences.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "run_fixture.h"

namespace vx {
namespace {

class VerifyTest : public testing::RunFixture {
 protected:
  void SetUp() override {
    scratch_.Write(u"src/same", "same bytes");
    scratch_.Write(u"src/changed", "0123456789");
    scratch_.Write(u"src/shorter", "0123456789");
    scratch_.Write(u"src/gone", "g");
    scratch_.Write(u"src/kind", "a file");
    scratch_.Write(u"src/nanos", "n");
    scratch_.Write(u"src/dir/inner", "i");
    if (kLinksKeptByDefault) std::filesystem::create_symlink("same", scratch_.Fs(u"src/link"));
    ASSERT_EQ(Run({}), 0) << scratch_.Read(u"run.err");
  }
};

TEST_F(VerifyTest, EachDamageIsOneDifferenceAndNothingIsWritten) {
  namespace fs = std::filesystem;
  struct Damage {
    const char16_t* name;  // the entry the DIFF line names, below its root
    std::string text;
    std::function<void(testing::Scratch&)> damage;
  };
  std::vector<Damage> cases = {
      {u"src/changed", "bytes differ",
       [](testing::Scratch& s) {
         // The time put back to every digit the file system keeps.
         const uint64_t ticks = testing::LastWriteTicks(s.Path(u"dst/changed"));
         const auto written = fs::last_write_time(s.Fs(u"dst/changed"));
         s.Write(u"dst/changed", "0123456780");
         testing::SetLastWriteTicks(s.Path(u"dst/changed"), ticks);
         if (Os().SameWriteTime != nullptr) fs::last_write_time(s.Fs(u"dst/changed"), written);
       }},
      {u"src/shorter", "size differs", [](testing::Scratch& s) { s.Write(u"dst/shorter", "01"); }},
      {u"src/gone", "missing at the destination",
       [](testing::Scratch& s) { fs::remove(s.Fs(u"dst/gone")); }},
      {u"src/kind", "another kind at the destination",
       [](testing::Scratch& s) {
         fs::remove(s.Fs(u"dst/kind"));
         fs::create_directory(s.Fs(u"dst/kind"));
       }},
      {u"dst/dir/stray", "only at the destination",
       [](testing::Scratch& s) { s.Write(u"dst/dir/stray", "s"); }},
  };
  // A write time off by less than FILETIME's tick, where the file system
  // keeps finer times.
  if (Os().SameWriteTime != nullptr) {
    cases.push_back({u"src/nanos", "write time differs", [](testing::Scratch& s) {
                       const auto time = fs::last_write_time(s.Fs(u"dst/nanos"));
                       fs::last_write_time(s.Fs(u"dst/nanos"), time + std::chrono::nanoseconds(1));
                     }});
  }
  if (kLinksKeptByDefault) {
    cases.push_back({u"src/link", "link target differs", [](testing::Scratch& s) {
                       fs::remove(s.Fs(u"dst/link"));
                       fs::create_symlink("changed", s.Fs(u"dst/link"));
                     }});
    // The link made anew has a time of its own: a difference of its own kind.
    cases.push_back({u"src/link", "write time differs", [](testing::Scratch&) {}});
  }
  for (const Damage& c : cases) c.damage(scratch_);
  const int damaged = static_cast<int>(cases.size());
  const std::string before = scratch_.Read(u"dst/shorter");
  EXPECT_EQ(Run({u"/Verify", u"/Threads:3"}), damaged);
  EXPECT_EQ(scratch_.Read(u"dst/shorter"), before);
  const std::vector<std::string> lines = Lines("DIFF ");
  EXPECT_EQ(lines.size(), static_cast<size_t>(damaged)) << ::testing::PrintToString(lines);
  for (const Damage& c : cases) {
    const std::string wanted = testing::Bytes(Prepared(c.name)) + ": " + c.text + "\r";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.ends_with(wanted); }),
              1)
        << wanted;
  }
  EXPECT_EQ(Lines("Differences    : " + std::to_string(damaged)).size(), 1u);
}

}  // namespace
}  // namespace vx
