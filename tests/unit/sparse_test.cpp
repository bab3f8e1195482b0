// Sparse files where the kernel copy does not keep holes (Windows): the
// file's ranges, in the documented FILE_ALLOCATED_RANGE_BUFFER form, come
// from a stand-in (see FaultInjector::StandInSparseFiles), since Wine has
// no sparse files.
#include <gtest/gtest.h>

#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::ErrLine;
using testing::Fault;
using testing::FaultInjector;

class SparseTest : public testing::WalkFixture {
 protected:
  void SetUp() override {
    WalkFixture::SetUp();
    if (Os().GetAllocatedRanges == nullptr) GTEST_SKIP() << "holes are kept by the kernel copy";
    // 100 ranges of 4 KiB, one in every 16 KiB, then a hole to the end: more
    // ranges than one query hands over.
    data_.assign(2 << 20, '\0');
    for (int64_t i = 0; i < 100; ++i) {
      ranges_.push_back(FILE_ALLOCATED_RANGE_BUFFER{i * 16384 + 8192, 4096});
      std::fill_n(data_.begin() + i * 16384 + 8192, 4096, static_cast<char>('a' + i % 26));
    }
    scratch_.Write(u"src/sparse", data_);
  }
  void StandIn(FaultInjector& faults) {
    faults.StandInSparseFiles({{Frag(u"src/sparse"), ranges_}});
    Bind();
  }
  std::string data_;
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges_;
};

// Only the ranges that hold data are read, each once, into a copy made
// sparse; the copy reads back whole, and Size counts the holes as well.
TEST_F(SparseTest, OnlyTheRangesThatHoldDataAreReadAndWritten) {
  FaultInjector faults;
  StandIn(faults);
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
  EXPECT_EQ(faults.SparseMade(), 1);
  EXPECT_EQ(faults.Calls(Call::kReadFile), 100);
  EXPECT_EQ(Counters.ByteCount, data_.size());
  EXPECT_TRUE(scratch_.Read(u"dst/sparse") == data_);
  EXPECT_TRUE(faults.OpenHandles().empty());
}

// A destination volume without sparse files (FAT, exFAT) gets a dense copy
// of the same bytes, never a failed file.
TEST_F(SparseTest, AVolumeWithoutSparseFilesGetsADenseCopy) {
  FaultInjector faults;
  StandIn(faults);
  faults.StandInVolumeFeatures(FILE_NAMED_STREAMS);
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0) << ErrorLog();
  EXPECT_EQ(faults.SparseMade(), 0);
  EXPECT_TRUE(scratch_.Read(u"dst/sparse") == data_);
}

// Each step that fails is one ERR, and the older copy stays as it was.
TEST_F(SparseTest, AFailedStepIsOneErrorAndTheOldCopyStays) {
  const struct {
    Call call;
    const char16_t* subject;
    const char16_t* context;
  } cases[] = {
      {Call::kSetSparse, u"dst/sparse", u"CopyOneFile:DeviceIoControl(DESTINATION)"},
      {Call::kGetAllocatedRanges, u"src/sparse", u"CopyOneFile:DeviceIoControl(SOURCE)"},
      {Call::kSetFilePointerEx, u"src/sparse", u"CopyOneFile:SetFilePointer(SOURCE)"},
      {Call::kSetEndOfFile, u"dst/sparse", u"CopyOneFile:SetEndOfFile(DESTINATION)"},
  };
  scratch_.Write(u"dst/sparse", "old copy");
  Settings.Overwrite = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Bytes(c.context));
    Counters = RunCounters{};
    const std::string before = ErrorLog();
    FaultInjector faults;
    StandIn(faults);
    faults.Add(Fault{c.call, 1, u"", ERROR_DISK_FULL});
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(ErrorLog().substr(before.size()),
              ErrLine(1, P(c.subject), c.context, ERROR_DISK_FULL));
    EXPECT_EQ(scratch_.Read(u"dst/sparse"), "old copy");
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
}

}  // namespace
}  // namespace vx
