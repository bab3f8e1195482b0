#include "copy/file/copy_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "copy/file/security_parts.h"
#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::ErrLine;
using testing::Fault;
using testing::FaultInjector;
using testing::LastWriteTicks;
using testing::SetLastWriteTicks;
using testing::k2020;

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
  // Copies src/a with `fault` injected, to a destination that does not
  // exist yet and, with /Overwrite, over an old file: the copy fails with
  // one ERR line naming the source or the destination, the decision stays
  // counted, no handle is left open, and the destination name holds what it
  // held before (nothing, or the old file's bytes), with no temporary file
  // beside it.
  void CopyFailsLeavingTheOldState(const Fault& fault, bool names_source,
                                   const char16_t* context) {
    for (bool replacing : {false, true}) {
      SCOPED_TRACE(replacing ? "replacing" : "new");
      Counters = RunCounters{};
      Settings.Overwrite = replacing;
      std::filesystem::remove(scratch_.Fs(u"dst/a"));
      if (replacing) scratch_.Write(u"dst/a", "old");
      const std::string before = ErrorLog();
      {
        FaultInjector faults;
        faults.BufferOnly();
        faults.Add(fault);
        EXPECT_EQ(Copy(), 0);
        EXPECT_TRUE(faults.OpenHandles().empty());
      }
      EXPECT_EQ(ErrorLog(), before + ErrLine(1, names_source ? P(u"src/a") : P(u"dst/a"), context,
                                             fault.error));
      ExpectCounters(replacing ? 0 : 1, 0, replacing ? 1 : 0, 1);
      EXPECT_EQ(scratch_.Exists(u"dst/a"), replacing);
      if (replacing) {
        EXPECT_EQ(scratch_.Read(u"dst/a"), "old");
      }
      EXPECT_EQ(DestinationNames(), std::vector<std::string>(replacing ? 1 : 0, "a"));
    }
    Settings.Overwrite = 0;
  }
  std::vector<std::string> DestinationNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(scratch_.Fs(u"dst"))) {
      names.push_back(entry.path().filename().string());
    }
    return names;
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
  // Four chunks: once the size is in, no read looks for the end.
  EXPECT_EQ(faults.Calls(Call::kReadFile), 4);
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

// Last-write times decide; under equal times another size decides too: a
// copy gets its source's time only once all its data is in, so that is the
// damage a crash leaves.
TEST_F(CopyFileTest, OnlyNewerComparesLastWriteTimesAndSizesUnderEqualTimes) {
  scratch_.Write(u"src/a", "source");
  Settings.OnlyNewer = 1;
  struct Case {
    uint64_t destination_time;
    const char* destination;
    bool copied;
  } cases[] = {{k2020, "SOURCE", false},
               {k2020, "destination, longer", true},
               {k2020 + 1, "destination, longer", false},
               {k2020 - 1, "destination, longer", true}};
  SetLastWriteTicks(P(u"src/a"), k2020);
  int newer = 0;
  for (const Case& c : cases) {
    scratch_.Write(u"dst/a", c.destination);
    SetLastWriteTicks(P(u"dst/a"), c.destination_time);
    EXPECT_EQ(Copy(), 1);
    EXPECT_EQ(scratch_.Read(u"dst/a"), c.copied ? "source" : c.destination);
    newer += c.copied;
    ExpectCounters(0, newer, 0, 0);
  }
  // Absent: new, with no comparison.
  std::filesystem::remove(scratch_.Fs(u"dst/a"));
  EXPECT_EQ(Copy(), 1);
  ExpectCounters(1, newer, 0, 0);
}

// A look at the destination name that fails for any reason but "not
// found" is an error, and so is a directory where the file goes: nothing is
// created, cut or written, in every mode.
TEST_F(CopyFileTest, OnlyNotFoundMeansAbsent) {
  scratch_.Write(u"src/a", "data");
  scratch_.Write(u"dst/a", "old");
  struct Case {
    DWORD probe_error;  // 0: the real look, at a directory
    int mode;           // 0 none, 1 /Overwrite, 2 /OnlyNewer
  } cases[] = {{32, 0}, {32, 1}, {32, 2}, {5, 1}, {0, 0}, {0, 1}, {0, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.probe_error << " mode " << c.mode);
    Counters = RunCounters{};
    Settings.Overwrite = c.mode == 1;
    Settings.OnlyNewer = c.mode == 2;
    const std::string before = ErrorLog();
    const char16_t* name = c.probe_error != 0 ? u"a" : u"d";
    if (c.probe_error == 0) {
      scratch_.Write(u"src/d", "data");
      std::filesystem::create_directories(scratch_.Fs(u"dst/d"));
    }
    FaultInjector faults;
    if (c.probe_error != 0) faults.Add(Fault{Call::kCreateFileW, 1, Frag(u"dst/a"), c.probe_error});
    EXPECT_EQ(Copy(name), 0);
    const DWORD code = c.probe_error != 0 ? c.probe_error : ERROR_ALREADY_EXISTS;
    EXPECT_EQ(ErrorLog(), before + ErrLine(1, JoinPath(P(u"src"), name),
                                           u"CopyOneFile:CreateFile(DESTINATION)", code));
    ExpectCounters(0, 0, 0, 1);
    EXPECT_EQ(scratch_.Read(u"dst/a"), "old");
    EXPECT_TRUE(std::filesystem::is_directory(scratch_.Fs(u"dst/d")) || c.probe_error != 0);
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
  // "Not found" (2, and 3 where the directory went too) is new.
  for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}) {
    Counters = RunCounters{};
    Settings.Overwrite = 0;
    Settings.OnlyNewer = 0;
    scratch_.Write(u"src/n", "n");
    std::filesystem::remove(scratch_.Fs(u"dst/n"));
    FaultInjector faults;
    faults.Add(Fault{Call::kCreateFileW, 1, Frag(u"dst/n"), code});
    EXPECT_EQ(Copy(u"n"), 1);
    ExpectCounters(1, 0, 0, 0);
    EXPECT_EQ(scratch_.Read(u"dst/n"), "n");
  }
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

TEST_F(CopyFileTest, FailuresLeaveTheDestinationAsItWas) {
  const std::string data = Data(3 * 65536);
  scratch_.Write(u"src/a", data);
  SetLastWriteTicks(P(u"src/a"), k2020);
  Settings.SecurityDescriptor = 1;
  Settings.Attributes = 1;
  struct Case {
    Fault fault;
    bool names_source;
    const char16_t* context;
  } cases[] = {
      {Fault{Call::kCreateFileW, 1, Frag(u"dst/.velmox~"), 32}, true,
       u"CopyOneFile:CreateFile(DESTINATION)"},
      {Fault{Call::kReadFile, 2, Frag(u"src/a"), 1117}, true, u"CopyOneFile:ReadFile(SOURCE)"},
      {Fault{Call::kWriteFile, 3, Frag(u"dst/"), 112}, false, u"CopyOneFile:WriteFile(DESTINATION)"},
      {Fault{Call::kSetFileTime, 1, Frag(u"dst/"), 5}, false,
       u"CopyOneFile:SetFileTime(DESTINATION)"},
      {Fault{Call::kGetKernelObjectSecurity, 1, Frag(u"src/a"), ERROR_INSUFFICIENT_BUFFER}, true,
       u"CopyOneFile.GetKernelObjectSecurity(SOURCE-FILE)"},
      {Fault{Call::kSetKernelObjectSecurity, 1, Frag(u"dst/"), 1307}, false,
       u"CopyOneFile.SetKernelObjectSecurity(DESTINATION-FILE)"},
      {Fault{Call::kCopyAttributes, 1, Frag(u"dst/"), 5}, false,
       u"CopyOneFile:SetFileAttributes(DESTINATION)"},
      {Fault{Call::kMoveFileW, 1, Frag(u"dst/a"), 5}, false, u"CopyOneFile:MoveFile(DESTINATION)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.context, c.context + std::char_traits<char16_t>::length(c.context)));
    CopyFailsLeavingTheOldState(c.fault, c.names_source, c.context);
  }
}

// A source that grows, is cut short or is written to while it is copied is
// one ERR naming it, and its copy is not put in place.
TEST_F(CopyFileTest, ASourceThatChangesWhileCopiedIsNotPutInPlace) {
  const std::string data = Data(3 * 65536);
  const std::filesystem::path source = scratch_.Fs(u"src/a");
  const struct {
    const char* what;
    std::function<void()> change;
  } cases[] = {
      {"grows", [&] { std::ofstream(source, std::ios::binary | std::ios::app) << "more"; }},
      {"cut short",
       [&] { std::filesystem::resize_file(source, std::filesystem::file_size(source) - 1000); }},
      {"written to", [&] { SetLastWriteTicks(P(u"src/a"), LastWriteTicks(P(u"src/a")) + 1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scratch_.Write(u"src/a", data);
    SetLastWriteTicks(P(u"src/a"), k2020);
    CopyFailsLeavingTheOldState(Fault{Call::kReadFile, 2, Frag(u"src/a"), ERROR_FILE_INVALID, 0,
                                      Fault::Kind::kBefore, 0, c.change},
                                true, u"CopyOneFile:SourceChanged(SOURCE)");
  }
}

TEST_F(CopyFileTest, ShortWriteIsCountedAndTheChunkLeftOutOfTheByteCount) {
  scratch_.Write(u"src/a", Data(2 * 65536));
  FaultInjector faults;
  faults.BufferOnly();
  faults.Add(Fault{Call::kWriteFile, 2, Frag(u"dst/"), 0, 0, Fault::Kind::kShortWrite, 4096});
  EXPECT_EQ(Copy(), 0);
  EXPECT_EQ(ErrorLog(), testing::Bytes(u"ERR  000001: " + P(u"dst/a") +
                                       u": 65536 bytes read and 4096 bytes written\n"));
  EXPECT_EQ(console_.Text(), ErrorLog());
  EXPECT_EQ(Counters.ByteCount, 65536u);
  ExpectCounters(1, 0, 0, 1);
  EXPECT_EQ(faults.Calls(Call::kSetFileTime), 0);
  EXPECT_TRUE(DestinationNames().empty());
  EXPECT_TRUE(faults.OpenHandles().empty());
}

// A replacement never writes through the old file: its other names keep
// their data, and without /SecurityDescriptor the new file keeps the old
// one's security.
TEST_F(CopyFileTest, HardLinkedDestinationIsReplacedNotWrittenThrough) {
  scratch_.Write(u"src/a", "new data");
  scratch_.Write(u"outside", "victim");
  std::filesystem::create_hard_link(scratch_.Fs(u"outside"), scratch_.Fs(u"dst/a"));
  for (int mode : {1, 2}) {
    Settings.Overwrite = mode == 1;
    Settings.OnlyNewer = mode == 2;
    SetLastWriteTicks(P(u"src/a"), k2020 + mode);
    SetLastWriteTicks(P(u"dst/a"), k2020);
    EXPECT_EQ(Copy(), 1);
    EXPECT_EQ(scratch_.Read(u"dst/a"), "new data");
    EXPECT_EQ(scratch_.Read(u"outside"), "victim");
    std::filesystem::remove(scratch_.Fs(u"dst/a"));
    std::filesystem::create_hard_link(scratch_.Fs(u"outside"), scratch_.Fs(u"dst/a"));
  }
  ExpectCounters(0, 1, 1, 0);
}

TEST_F(CopyFileTest, ShortReadsAreWrittenAndReadAgain) {
  const std::string data = Data(100000);
  scratch_.Write(u"src/a", data);
  FaultInjector faults;
  faults.BufferOnly();
  faults.Add(Fault{Call::kReadFile, 1, Frag(u"src/a"), 0, 0, Fault::Kind::kShortRead, 10});
  EXPECT_EQ(Copy(), 1);
  EXPECT_EQ(scratch_.Read(u"dst/a"), data);
  EXPECT_EQ(faults.Calls(Call::kReadFile), 3);  // 10, 65536, the rest
}

// An encrypted file is copied raw (the stand-in ciphertext is its bytes
// inverted), its data never read as plaintext; where the raw copy cannot be
// made (a destination volume without encryption, a platform without the
// call) it is one ERR and nothing at the destination name.
TEST_F(CopyFileTest, EncryptedFilesAreCopiedRawOrNotAtAll) {
  const std::string data = Data(1000);
  std::string ciphertext = data;
  for (char& byte : ciphertext) byte = static_cast<char>(~byte);
  scratch_.Write(u"src/a", data);
  Settings.Streams = 1;
  struct Case {
    DWORD refused;  // 0: the raw copy is made
    bool without_the_call;
  } cases[] = {{0, false}, {ERROR_VOLUME_NOT_SUPPORT_EFS, false}, {ERROR_NOT_SUPPORTED, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refused);
    std::filesystem::remove(scratch_.Fs(u"dst/a"));
    Counters = RunCounters{};
    const std::string before = ErrorLog();
    FaultInjector faults;
    faults.StandInEncryption(Frag(u"src/a"));
    if (c.without_the_call) Os().CreateEncryptedCopyAtW = nullptr;
    if (c.refused != 0 && !c.without_the_call) {
      faults.Add(Fault{Call::kCreateEncryptedCopyW, 1, Frag(u"dst/"), c.refused});
    }
    EXPECT_EQ(Copy(), c.refused == 0 ? 1 : 0);
    EXPECT_EQ(faults.Calls(Call::kReadFile), 0);
    EXPECT_EQ(faults.Calls(Call::kCopyFileRange), 0);
    EXPECT_TRUE(faults.OpenHandles().empty());
    if (c.refused == 0) {
      EXPECT_TRUE(scratch_.Read(u"dst/a") == ciphertext);
      EXPECT_EQ(ErrorLog(), before);
      EXPECT_EQ(Counters.ByteCount, data.size());
    } else {
      EXPECT_EQ(ErrorLog(), before + ErrLine(1, P(u"src/a"),
                                             u"CopyOneFile:CopyEncryptedRaw(DESTINATION)",
                                             c.refused));
      EXPECT_TRUE(DestinationNames().empty());
    }
  }
}

// The label, resource attributes and scope travel with /SecurityDescriptor;
// where the system refuses them (87, 50, 1) the descriptor is carried
// without them for the rest of the run, said by one NOTE; any other
// refusal is the file's ERR.
TEST_F(CopyFileTest, SecurityPartsASystemRefusesAreDroppedOnceSaid) {
  scratch_.Write(u"src/a", "a");
  scratch_.Write(u"src/b", "b");
  Settings.SecurityDescriptor = 1;
  const struct {
    Call call;
    DWORD code;
    bool dropped;
  } cases[] = {
      {Call::kSetKernelObjectSecurity, ERROR_INVALID_PARAMETER, true},
      {Call::kGetKernelObjectSecurity, ERROR_NOT_SUPPORTED, true},
      {Call::kSetKernelObjectSecurity, ERROR_ACCESS_DENIED, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ++State.RunNumber;  // each case a run of its own
    std::filesystem::remove(scratch_.Fs(u"dst/a"));
    std::filesystem::remove(scratch_.Fs(u"dst/b"));
    Counters = RunCounters{};
    const std::string before = Log();
    FaultInjector faults;
    faults.Add(Fault{c.call, 1, u"", c.code});
    EXPECT_EQ(Copy(u"a"), c.dropped ? 1 : 0);
    EXPECT_EQ(Copy(u"b"), 1);
    EXPECT_EQ(Counters.ErrorCount, c.dropped ? 0 : 1);
    const std::string log = Log().substr(before.size());
    EXPECT_EQ(log.find("NOTE 000001: ") != std::string::npos, c.dropped) << log;
    EXPECT_EQ(log.find("NOTE 000002"), std::string::npos);
    EXPECT_EQ((CarriedSecurityInformation() & LABEL_SECURITY_INFORMATION) == 0, c.dropped);
    EXPECT_NE(CarriedSecurityInformation() & DACL_SECURITY_INFORMATION, 0u);
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
