// Named data streams (/Streams), on both builds: neither Wine nor Linux has
// them, so the streams are stand-ins (see FaultInjector::StandInStreams)
// listed in the documented FILE_STREAM_INFO records.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::ErrLine;
using testing::Fault;
using testing::FaultInjector;

constexpr char kZone[] = "[ZoneTransfer]\r\nZoneId=3\r\n";

class StreamsTest : public testing::WalkFixture {
 protected:
  void SetUp() override {
    WalkFixture::SetUp();
    scratch_.Write(u"src/a.txt", "main data");
    scratch_.MakeDir(u"src/dir");
    scratch_.MakeDir(u"streams");
    scratch_.MakeDir(u"made");
    scratch_.Write(u"streams/zone", kZone);
    scratch_.Write(u"streams/empty", "");
    scratch_.Write(u"streams/dir", "directory metadata");
  }
  void StandIn(FaultInjector& faults) {
    faults.StandInStreams({{Frag(u"src/a.txt"), u":Zone.Identifier:$DATA", P(u"streams/zone")},
                           {Frag(u"src/a.txt"), u":empty:$DATA", P(u"streams/empty")},
                           {Frag(u"src/dir"), u":meta:$DATA", P(u"streams/dir")}},
                          P(u"made"));
    Bind();
  }
  // The streams made so far, by name, with the data written to each.
  std::map<std::u16string, std::string> Made(FaultInjector& faults) {
    std::map<std::u16string, std::string> made;
    for (const auto& stream : faults.MadeStreams()) {
      HANDLE file = Os().CreateFileW(stream.data_file.c_str(), GENERIC_READ, 7, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
      char bytes[256];
      DWORD got = 0;
      Os().ReadFile(file, bytes, sizeof bytes, &got, nullptr);
      Os().CloseHandle(file);
      made[stream.name] = std::string(bytes, got);
    }
    return made;
  }
  void Reset() {
    std::filesystem::remove_all(scratch_.Fs(u"made"));
    scratch_.MakeDir(u"made");
    Counters = RunCounters{};
  }
};

// Every named stream of a file or a directory the run makes is made on the
// copy with its data and counted in Size; a replaced file's copy has the
// source's streams. Without the option, or where the file system keeps no
// streams, there are none to copy and no error.
TEST_F(StreamsTest, EveryNamedStreamIsCopiedWithItsDataAndCounted) {
  const std::map<std::u16string, std::string> all = {{u":Zone.Identifier:$DATA", kZone},
                                                     {u":empty:$DATA", ""},
                                                     {u":meta:$DATA", "directory metadata"}};
  const uint64_t stream_bytes = sizeof kZone - 1 + 18;
  const struct {
    const char* what;
    bool streams;
    DWORD listing_error;  // GetStreamInformation fails with it; 0: it works
    bool overwrite;
    std::map<std::u16string, std::string> made;
    uint64_t bytes;
  } cases[] = {
      {"new", true, 0, false, all, 9 + stream_bytes},
      {"replaced",
       true,
       0,
       true,
       {{u":Zone.Identifier:$DATA", kZone}, {u":empty:$DATA", ""}},
       9 + sizeof kZone - 1},
      {"without /Streams", false, 0, false, {}, 9},
      {"a file system without streams", true, ERROR_INVALID_PARAMETER, false, {}, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.overwrite) {
      std::filesystem::remove_all(scratch_.Fs(u"dst"));
      scratch_.MakeDir(u"dst");
    }
    Reset();
    Settings.Streams = c.streams;
    Settings.Overwrite = c.overwrite;
    FaultInjector faults;
    StandIn(faults);
    if (c.listing_error != 0) {
      for (int nth = 1; nth <= 2; ++nth) {
        faults.Add(Fault{Call::kGetStreamInformation, nth, u"", c.listing_error});
      }
    }
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    EXPECT_EQ(Made(faults), c.made);
    EXPECT_EQ(Counters.ByteCount, c.bytes);
    EXPECT_EQ(scratch_.Read(u"dst/a.txt"), "main data");
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
}

// A stream that cannot be listed, read or made is one ERR naming it; the
// file is not put in place, and an older copy stays as it was.
TEST_F(StreamsTest, AStreamThatCannotBeCarriedIsOneErrorAndTheOldCopyStays) {
  const struct {
    Call call;
    const char16_t* path;  // the fault's, relative
    const char16_t* subject;
    const char16_t* context;
  } cases[] = {
      {Call::kGetStreamInformation, u"src/a.txt", u"src/a.txt",
       u"CopyOneFile:GetFileInformationByHandleEx(SOURCE)"},
      {Call::kCreateStreamW, u"src/a.txt:Zone", u"src/a.txt:Zone.Identifier:$DATA",
       u"CopyOneFile:CreateFile(SOURCE)"},
      {Call::kCreateStreamW, u".tmp:Zone", u"dst/a.txt:Zone.Identifier:$DATA",
       u"CopyOneFile:CreateFile(DESTINATION)"},
      {Call::kReadFile, u"a.txt:Zone", u"src/a.txt:Zone.Identifier:$DATA",
       u"CopyOneFile:ReadFile(SOURCE)"},
  };
  std::filesystem::remove_all(scratch_.Fs(u"src/dir"));
  scratch_.Write(u"dst/a.txt", "old copy");
  Settings.Streams = 1;
  Settings.Overwrite = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Bytes(c.context));
    Reset();
    const std::string before = ErrorLog();
    FaultInjector faults;
    faults.BufferOnly();  // so that a stream's data is read by ReadFile
    StandIn(faults);
    faults.Add(Fault{c.call, 1, Frag(c.path), ERROR_ACCESS_DENIED});
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(ErrorLog().substr(before.size()),
              ErrLine(1, P(c.subject), c.context, ERROR_ACCESS_DENIED));
    EXPECT_EQ(scratch_.Read(u"dst/a.txt"), "old copy");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch_.Fs(u"dst")),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
}

// A destination volume without named streams (FAT, a NAS share) gets each
// object's own data and no error; one NOTE a run says so.
TEST_F(StreamsTest, AVolumeWithoutStreamsGetsTheDataAndOneNoteARun) {
  Settings.Streams = 1;
  Settings.Overwrite = 1;
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    Reset();
    ++State.RunNumber;  // as each run begins
    FaultInjector faults;
    StandIn(faults);
    faults.StandInVolumeFeatures(FILE_SUPPORTS_SPARSE_FILES);
    const std::string before = Log();
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
    EXPECT_EQ(scratch_.Read(u"dst/a.txt"), "main data");
    EXPECT_TRUE(faults.MadeStreams().empty());
    EXPECT_EQ(faults.Calls(Call::kGetVolumeFeatures), 1);  // once a volume
    const std::string log = Log().substr(before.size());
    const size_t note = log.find("NOTE 000001: ");
    ASSERT_NE(note, std::string::npos) << log;
    EXPECT_NE(log.find(": The volume keeps no named streams; streams are not copied to it.\r\n",
                       note),
              std::string::npos);
    EXPECT_EQ(log.find("NOTE 000002"), std::string::npos);
  }
}

}  // namespace
}  // namespace vx
