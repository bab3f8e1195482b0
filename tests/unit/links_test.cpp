// Links kept as links, on both builds. Real links where the platform shows
// them are tried end to end; here the walk's side is tried on stand-ins
// (see FaultInjector::StandInLinks), with the documented reparse data of a
// symbolic link and a junction, which the copy must carry byte for byte.
#include <gtest/gtest.h>

#include <filesystem>

#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::ErrLine;
using testing::Fault;
using testing::FaultInjector;
using testing::LastWriteTicks;
using testing::SetLastWriteTicks;

constexpr uint64_t k2020 = 132223104000000000ULL;

// REPARSE_DATA_BUFFER: tag, data length, reserved; then the substitute and
// print names' offsets and lengths (bytes), the flags of a symbolic link
// (1: relative), and the names.
std::vector<unsigned char> ReparseData(uint32_t tag, std::u16string_view substitute,
                                       std::u16string_view print, bool symbolic_link) {
  std::vector<unsigned char> data;
  auto put = [&](const void* bytes, size_t size) {
    const auto* from = static_cast<const unsigned char*>(bytes);
    data.insert(data.end(), from, from + size);
  };
  auto put16 = [&](size_t value) {
    const uint16_t narrow = static_cast<uint16_t>(value);
    put(&narrow, 2);
  };
  const size_t names = (substitute.size() + print.size()) * 2;
  put(&tag, 4);
  put16(8 + (symbolic_link ? 4 : 0) + names);
  put16(0);
  put16(0);
  put16(substitute.size() * 2);
  put16(substitute.size() * 2);
  put16(print.size() * 2);
  if (symbolic_link) {
    const uint32_t relative = 1;
    put(&relative, 4);
  }
  put(substitute.data(), substitute.size() * 2);
  put(print.data(), print.size() * 2);
  return data;
}

class LinksTest : public testing::WalkFixture {
 protected:
  void SetUp() override {
    WalkFixture::SetUp();
    scratch_.Write(u"src/a.txt", "data");
    scratch_.Write(u"src/l", "");  // a link to a.txt
    scratch_.MakeDir(u"src/junction");
    scratch_.Write(u"src/junction/inner.txt", "never reached through a kept link");
    scratch_.Write(u"src/dedup", "holds its own data");  // a reparse point that is no link
    SetLastWriteTicks(P(u"src/l"), k2020);
    symbolic_link_ = ReparseData(0xA000000C, u"a.txt", u"a.txt", true);
    junction_ = ReparseData(0xA0000003, u"\\??\\C:\\elsewhere", u"C:\\elsewhere", false);
  }
  // Stand-ins for the three reparse points, on a freshly wrapped table; the
  // copies made of them read as reparse points too.
  void StandIn(FaultInjector& faults) {
    faults.StandInLinks(
        {{Frag(u"/l"), symbolic_link_}, {Frag(u"/junction"), junction_}, {Frag(u"/dedup"), {}}});
    Bind();
  }
  bool HasLeftovers() {
    for (const auto& entry : std::filesystem::directory_iterator(scratch_.Fs(u"dst"))) {
      if (entry.path().filename().string().starts_with(".velmox~")) return true;
    }
    return false;
  }
  std::vector<unsigned char> symbolic_link_;
  std::vector<unsigned char> junction_;
};

// A kept link is made from its source's data unchanged, a directory link as
// a directory one, never descended; it is a file of size 0 with the link's
// own times. A reparse point that is no link is data. A rerun with
// /OnlyNewer finds nothing to do; /FollowLinks walks through them.
TEST_F(LinksTest, KeptLinksAreMadeFromTheirOwnDataAndNeverFollowed) {
  for (const bool subdirectories : {true, false}) {
    SCOPED_TRACE(subdirectories ? "with /SubDirectories" : "without");
    std::filesystem::remove_all(scratch_.Fs(u"dst"));
    scratch_.MakeDir(u"dst");
    Counters = RunCounters{};
    Settings.SubDirectories = subdirectories;
    State.KeepLinks = true;
    FaultInjector faults;
    StandIn(faults);
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    EXPECT_EQ(Counters.FileCount, 4);  // the junction is a file too, listed with or without
    EXPECT_EQ(Counters.NewCount, 4);
    EXPECT_EQ(Counters.ByteCount, 4u + 18u);
    ASSERT_EQ(faults.MadeLinks().size(), 2u);
    for (const auto& made : faults.MadeLinks()) {
      const bool is_junction = made.data == junction_;
      EXPECT_TRUE(is_junction || made.data == symbolic_link_);
      EXPECT_EQ((made.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, is_junction);
    }
    EXPECT_FALSE(scratch_.Exists(u"dst/junction/inner.txt"));
    EXPECT_EQ(scratch_.Read(u"dst/dedup"), "holds its own data");
    EXPECT_EQ(LastWriteTicks(P(u"dst/l")), k2020);
    EXPECT_NE(Log().find("l (0 KB)"), std::string::npos);
    EXPECT_FALSE(HasLeftovers());
    EXPECT_TRUE(faults.OpenHandles().empty());

    Counters = RunCounters{};
    Settings.OnlyNewer = 1;
    EXPECT_EQ(Walk(), 1);
    Settings.OnlyNewer = 0;
    EXPECT_EQ(Counters.NewCount + Counters.NewerCount + Counters.OverwrittenCount, 0);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    EXPECT_EQ(faults.MadeLinks().size(), 2u);
  }

  std::filesystem::remove_all(scratch_.Fs(u"dst"));
  scratch_.MakeDir(u"dst");
  Settings.SubDirectories = 1;
  State.KeepLinks = false;
  FaultInjector faults;
  StandIn(faults);
  EXPECT_EQ(Walk(), 1);
  EXPECT_TRUE(faults.MadeLinks().empty());
  EXPECT_EQ(scratch_.Read(u"dst/junction/inner.txt"), "never reached through a kept link");
}

// A followed link is followed only where its owner could have read what it
// leads to: one planted by someone else (its owner standing in through the
// seam) is one ERR, 1920, and nothing of its target reaches the copy.
TEST_F(LinksTest, AFollowedLinkIsFollowedOnlyWhereItsOwnerCouldReadItsTarget) {
  const struct {
    const char16_t* planted;
    const char16_t* context;
    const char16_t* kept_out;
  } cases[] = {{u"junction", u"CopyOneDirectory:FollowLink(SOURCE-DIR)", u"dst/junction"},
               {u"l", u"CopyOneFile:FollowLink(SOURCE)", u"dst/l"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Bytes(c.planted));
    std::filesystem::remove_all(scratch_.Fs(u"dst"));
    scratch_.MakeDir(u"dst");
    Counters = RunCounters{};
    State.KeepLinks = false;
    FaultInjector faults;
    StandIn(faults);
    faults.StandInOwners(u"", Frag(u"src/") + c.planted);
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 1);
    EXPECT_TRUE(ErrorLog().ends_with(ErrLine(1, P(u"src/") + c.planted, c.context, 1920)))
        << ErrorLog();
    EXPECT_FALSE(scratch_.Exists(c.kept_out));
    EXPECT_EQ(scratch_.Read(u"dst/dedup"), "holds its own data");
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
}

// A link that cannot be read or made is one ERR, named by the call that
// failed, and leaves nothing behind; the rest of the walk goes on.
TEST_F(LinksTest, ALinkThatCannotBeCarriedIsOneErrorAndLeavesNothing) {
  constexpr DWORD kPrivilegeNotHeld = 1314;
  const struct {
    Call call;
    const char16_t* path;  // the fault's, relative
    DWORD error;
    const char16_t* subject;
    const char16_t* context;
  } cases[] = {
      {Call::kReadLinkTarget, u"src/l", ERROR_ACCESS_DENIED, u"src/l",
       u"CopyOneFile:ReadLink(SOURCE)"},
      {Call::kCreateLinkW, u"dst/", kPrivilegeNotHeld, u"src/l",
       u"CopyOneFile:CreateFile(DESTINATION)"},
      // A volume that keeps no links (FAT, exFAT) says so in a NOTE too.
      {Call::kCreateLinkW, u"dst/", ERROR_NOT_SUPPORTED, u"src/l",
       u"CopyOneFile:CreateFile(DESTINATION)"},
      {Call::kMoveFileW, u"dst/l", ERROR_ACCESS_DENIED, u"dst/l",
       u"CopyOneFile:MoveFile(DESTINATION)"},
  };
  std::filesystem::remove_all(scratch_.Fs(u"src/junction"));
  std::filesystem::remove(scratch_.Fs(u"src/dedup"));
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Bytes(c.context));
    std::filesystem::remove_all(scratch_.Fs(u"dst"));
    scratch_.MakeDir(u"dst");
    const std::string before = ErrorLog();
    Counters = RunCounters{};
    State.KeepLinks = true;
    FaultInjector faults;
    faults.Add(Fault{c.call, 1, Frag(c.path), c.error});
    StandIn(faults);
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(ErrorLog().substr(before.size()), ErrLine(1, P(c.subject), c.context, c.error));
    EXPECT_EQ(Counters.NoteCount, c.error == ERROR_NOT_SUPPORTED ? 1 : 0);
    EXPECT_FALSE(scratch_.Exists(u"dst/l"));
    EXPECT_EQ(scratch_.Read(u"dst/a.txt"), "data");
    EXPECT_FALSE(HasLeftovers());
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
}

// A directory that is a reparse point but no link (a synced folder whose
// tag is no name surrogate) is a directory like any other: walked with
// links kept, its copy a plain directory, night after night under /Mirror.
TEST_F(LinksTest, AReparseDirectoryThatIsNoLinkIsWalked) {
  scratch_.Write(u"src/synced/inner.txt", "synced");
  Settings.SubDirectories = 1;
  Settings.Mirror = 1;
  State.KeepLinks = true;
  for (const int night : {1, 2}) {
    SCOPED_TRACE(night);
    Counters = RunCounters{};
    Settings.OnlyNewer = night == 2;
    FaultInjector faults;
    faults.StandInLinks({{Frag(u"/synced"), {}}});
    Bind();
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    EXPECT_EQ(Counters.DeletedCount, 0);
    EXPECT_EQ(scratch_.Read(u"dst/synced/inner.txt"), "synced");
    EXPECT_TRUE(faults.MadeLinks().empty());
  }
}

}  // namespace
}  // namespace vx
