#include "copy/copy_file.h"

#include <gtest/gtest.h>

#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::ErrLine;
using testing::Fault;
using testing::FaultInjector;
using testing::LastWriteTicks;
using testing::SetLastWriteTicks;
using testing::k1980;
using testing::k2020;

// Where writes can be kept from moving the last-write time, a new
// destination is marked incomplete by one SetFileTime right after its create.
int EarlyMarks() {
  return NativePlatform().FreezeLastWriteTime != nullptr ? 1 : 0;
}

class CopyFileTest : public testing::CopyFixture {
 protected:
  int Copy(std::u16string_view name = u"a") { return CopyEntry(name); }
  std::string Data(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    return data;
  }
  void ExpectCounters(int new_count, int newer, int overwritten, int errors) {
    EXPECT_EQ(Counters.NewCount, new_count);
    EXPECT_EQ(Counters.NewerCount, newer);
    EXPECT_EQ(Counters.OverwrittenCount, overwritten);
    EXPECT_EQ(Counters.ErrorCount, errors);
  }
  // Copies src/a to a destination that does not exist yet, with `fault`
  // injected: the copy fails with one ERR line naming the source or the
  // destination, the new file stays counted, and no handle is left open.
  void FreshCopyFails(const Fault& fault, bool names_source, const char16_t* context) {
    Counters = RunCounters{};
    std::filesystem::remove(scratch_.Fs(u"dst/a"));
    const std::string before = ErrorLog();
    FaultInjector faults;
    faults.BufferOnly();
    faults.Add(fault);
    EXPECT_EQ(Copy(), 0);
    EXPECT_EQ(ErrorLog(),
              before + ErrLine(1, names_source ? P(u"src/a") : P(u"dst/a"), context, fault.error));
    ExpectCounters(1, 0, 0, 1);
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
};

TEST_F(CopyFileTest, NewFileGetsDataAndTimeStamps) {
  const std::string data = Data(3 * 65536 + 17);
  scratch_.Write(u"src/a", data);
  SetLastWriteTicks(P(u"src/a"), k2020 + 1234567);
  FaultInjector faults;
  faults.BufferOnly();
  EXPECT_EQ(Copy(), 1);
  EXPECT_EQ(scratch_.Read(u"dst/a"), data);
  EXPECT_EQ(LastWriteTicks(P(u"dst/a")), k2020 + 1234567);
  EXPECT_EQ(Counters.ByteCount, data.size());
  ExpectCounters(1, 0, 0, 0);
  EXPECT_EQ(faults.Calls(Call::kReadFile), 5);  // four chunks and the read of 0 bytes
  EXPECT_TRUE(faults.OpenHandles().empty());
  EXPECT_EQ(ErrorLog(), "");
}

TEST_F(CopyFileTest, EmptyAndExactMultipleSizes) {
  scratch_.Write(u"src/empty", "");
  scratch_.Write(u"src/exact", Data(2 * 65536));
  scratch_.Write(u"dst/empty", "old contents");
  Settings.Overwrite = 1;
  EXPECT_EQ(Copy(u"empty"), 1);
  EXPECT_EQ(scratch_.Read(u"dst/empty"), "");
  EXPECT_EQ(Copy(u"exact"), 1);
  EXPECT_EQ(scratch_.Read(u"dst/exact"), Data(2 * 65536));
  EXPECT_EQ(Counters.ByteCount, 2u * 65536);
  ExpectCounters(1, 0, 1, 0);
}

TEST_F(CopyFileTest, ExistingDestinationIsSkippedUntouchedWithoutFlags) {
  scratch_.Write(u"src/a", "new");
  scratch_.Write(u"dst/a", "old");
  SetLastWriteTicks(P(u"dst/a"), k2020);
  EXPECT_EQ(Copy(), 1);
  EXPECT_EQ(scratch_.Read(u"dst/a"), "old");
  EXPECT_EQ(LastWriteTicks(P(u"dst/a")), k2020);
  ExpectCounters(0, 0, 0, 0);
}

TEST_F(CopyFileTest, OnlyNewerComparesLastWriteTimesOnly) {
  scratch_.Write(u"src/a", "source");
  Settings.OnlyNewer = 1;
  struct Case {
    uint64_t destination_time;
    bool copied;
  } cases[] = {{k2020, false}, {k2020 + 1, false}, {k2020 - 1, true}};
  SetLastWriteTicks(P(u"src/a"), k2020);
  int newer = 0;
  for (const Case& c : cases) {
    scratch_.Write(u"dst/a", "destination, longer");
    SetLastWriteTicks(P(u"dst/a"), c.destination_time);
    EXPECT_EQ(Copy(), 1);
    EXPECT_EQ(scratch_.Read(u"dst/a"), c.copied ? "source" : "destination, longer");
    newer += c.copied;
    ExpectCounters(0, newer, 0, 0);
  }
  // Absent: new, with no comparison.
  std::filesystem::remove(scratch_.Fs(u"dst/a"));
  EXPECT_EQ(Copy(), 1);
  ExpectCounters(1, 1, 0, 0);
}

TEST_F(CopyFileTest, DirectoryAtTheDestinationPathCountsAsPresent) {
  scratch_.Write(u"src/a", "data");
  scratch_.MakeDir(u"dst/a");
  FaultInjector faults;
  EXPECT_EQ(Copy(), 1);  // skipped: no flag
  ExpectCounters(0, 0, 0, 0);
  EXPECT_TRUE(faults.OpenHandles().empty());
}

TEST_F(CopyFileTest, FailuresBeforeTheDestinationExistsNameTheSource) {
  scratch_.Write(u"src/a", "data");
  scratch_.Write(u"dst/a", "old");
  Settings.OnlyNewer = 1;
  struct Case {
    Fault fault;
    const char16_t* context;
    int new_count;
  } cases[] = {
      {Fault{Call::kCreateFileW, 1, Frag(u"src/a"), 5}, u"CopyOneFile:CreateFile(SOURCE)", 0},
      {Fault{Call::kGetFileInformationByHandle, 1, Frag(u"src/a"), 6},
       u"CopyOnFile:GetFileInformationByHandle(SOURCE)", 0},
      {Fault{Call::kGetFileInformationByHandle, 1, Frag(u"dst/a"), 6},
       u"CopyOnFile:GetFileInformationByHandle(DESTINATION)", 0},
  };
  for (const Case& c : cases) {
    Counters = RunCounters{};
    const std::string before = ErrorLog();
    FaultInjector faults;
    faults.Add(c.fault);
    EXPECT_EQ(Copy(), 0);
    EXPECT_EQ(ErrorLog(), before + ErrLine(1, P(u"src/a"), c.context, c.fault.error));
    EXPECT_EQ(Counters.ErrorCount, 1);
    EXPECT_TRUE(faults.OpenHandles().empty());
    EXPECT_EQ(scratch_.Read(u"dst/a"), "old");
  }
}

TEST_F(CopyFileTest, CreateFailureNamesTheSourceAndKeepsTheDecisionCounted) {
  scratch_.Write(u"src/a", "data");
  FaultInjector faults;
  faults.Add(Fault{Call::kCreateFileW, 2, Frag(u"dst/a"), 32});  // 1st is the probe
  EXPECT_EQ(Copy(), 0);
  EXPECT_EQ(ErrorLog(), ErrLine(1, P(u"src/a"), u"CopyOneFile:CreateFile(DESTINATION)", 32));
  ExpectCounters(1, 0, 0, 1);
  EXPECT_TRUE(faults.OpenHandles().empty());
}

TEST_F(CopyFileTest, CreateRefusedAsAlreadyExistingIsNoError) {
  scratch_.Write(u"src/a", "data");
  FaultInjector faults;
  faults.Add(Fault{Call::kCreateFileW, 2, Frag(u"dst/a"), ERROR_ALREADY_EXISTS});
  EXPECT_EQ(Copy(), 1);
  ExpectCounters(1, 0, 0, 0);
  EXPECT_EQ(ErrorLog(), "");
  EXPECT_TRUE(faults.OpenHandles().empty());
}

TEST_F(CopyFileTest, FailedTransferKeepsWrittenChunksAndMarksTheFileIncomplete) {
  const std::string data = Data(3 * 65536);
  scratch_.Write(u"src/a", data);
  SetLastWriteTicks(P(u"src/a"), k2020);
  struct Case {
    Fault fault;
    bool names_source;
    const char16_t* context;
    size_t bytes_kept;
  } cases[] = {
      {Fault{Call::kReadFile, 2, Frag(u"src/a"), 1117}, true, u"CopyOneFile:ReadFile(SOURCE)",
       65536},
      {Fault{Call::kWriteFile, 3, Frag(u"dst/a"), 112}, false,
       u"CopyOneFile:WriteFile(DESTINATION)", 2 * 65536},
  };
  for (const Case& c : cases) {
    FreshCopyFails(c.fault, c.names_source, c.context);
    EXPECT_EQ(scratch_.Read(u"dst/a"), data.substr(0, c.bytes_kept));
    EXPECT_EQ(Counters.ByteCount, c.bytes_kept);
    EXPECT_EQ(LastWriteTicks(P(u"dst/a")), k1980);
  }
}

TEST_F(CopyFileTest, ShortWriteIsCountedAndTheChunkLeftOutOfTheByteCount) {
  scratch_.Write(u"src/a", Data(2 * 65536));
  const uint64_t k1975 = k1980 - 1826 * 864000000000ULL;
  SetLastWriteTicks(P(u"src/a"), k1975);  // earlier than 1980: marked just before it
  FaultInjector faults;
  faults.BufferOnly();
  faults.Add(Fault{Call::kWriteFile, 2, Frag(u"dst/a"), 0, 0, Fault::Kind::kShortWrite, 4096});
  EXPECT_EQ(Copy(), 0);
  EXPECT_EQ(ErrorLog(), testing::Bytes(u"ERR  000001: " + P(u"dst/a") +
                                       u": 65536 bytes read and 4096 bytes written\n"));
  EXPECT_EQ(console_.Text(), ErrorLog());
  EXPECT_EQ(Counters.ByteCount, 65536u);
  ExpectCounters(1, 0, 0, 1);
  EXPECT_EQ(LastWriteTicks(P(u"dst/a")), k1975 - 1);
  EXPECT_EQ(faults.Calls(Call::kSetFileTime), 1 + EarlyMarks());  // only marks; no time stamps
  EXPECT_TRUE(faults.OpenHandles().empty());
}

TEST_F(CopyFileTest, ShortReadsAreWrittenAndReadAgain) {
  const std::string data = Data(100000);
  scratch_.Write(u"src/a", data);
  FaultInjector faults;
  faults.BufferOnly();
  faults.Add(Fault{Call::kReadFile, 1, Frag(u"src/a"), 0, 0, Fault::Kind::kShortRead, 10});
  EXPECT_EQ(Copy(), 1);
  EXPECT_EQ(scratch_.Read(u"dst/a"), data);
  EXPECT_EQ(faults.Calls(Call::kReadFile), 4);  // 10, 65536, the rest, then 0
}

TEST_F(CopyFileTest, FailuresAfterTheDataLeaveItInPlace) {
  scratch_.Write(u"src/a", "all the data");
  SetLastWriteTicks(P(u"src/a"), k2020);
  Settings.SecurityDescriptor = 1;
  Settings.Overwrite = 1;
  struct Case {
    Fault fault;
    bool names_source;
    const char16_t* context;
    bool times_set;
  } cases[] = {
      {Fault{Call::kSetFileTime, 1 + EarlyMarks(), Frag(u"dst/a"), 5}, false,
       u"CopyOneFile:SetFileTime(DESTINATION)", false},
      {Fault{Call::kGetKernelObjectSecurity, 1, Frag(u"src/a"), ERROR_INSUFFICIENT_BUFFER}, true,
       u"CopyOneFile.GetKernelObjectSecurity(SOURCE-FILE)", true},
      {Fault{Call::kSetKernelObjectSecurity, 1, Frag(u"dst/a"), 1307}, false,
       u"CopyOneFile.SetKernelObjectSecurity(DESTINATION-FILE)", true},
  };
  for (const Case& c : cases) {
    FreshCopyFails(c.fault, c.names_source, c.context);
    EXPECT_EQ(scratch_.Read(u"dst/a"), "all the data");
    if (c.times_set) {
      EXPECT_EQ(LastWriteTicks(P(u"dst/a")), k2020);
    }
  }
}

TEST_F(CopyFileTest, ByteCountCarriesPastFourGibibytes) {
  scratch_.Write(u"src/a", Data(1000));
  Counters.ByteCount = 0xFFFFFF00u;
  EXPECT_EQ(Copy(), 1);
  EXPECT_EQ(Counters.ByteCount, 0xFFFFFF00ull + 1000);
}

}  // namespace
}  // namespace vx
