// The kernel copy: whatever it cannot do, the buffer does for the rest of the
// file, so failures are still reported by the read or the write that meets
// them; holes in the source stay holes, and the byte count is the length.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::ErrLine;
using testing::Fault;
using testing::FaultInjector;
using testing::LastWriteTicks;

class KernelCopyTest : public testing::CopyFixture {
 protected:
  int Copy() { return CopyEntry(u"a"); }
  // src/a: 64 KiB of data at each offset given, holes between them, and
  // `length` in all. Holes send every file system's copy through the kernel.
  void WriteSparse(std::initializer_list<off_t> offsets, off_t length) {
    std::string chunk(65536, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 13 + i / 509);
    const int fd = open(scratch_.Fs(u"src/a").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (off_t offset : offsets) {
      ASSERT_EQ(pwrite(fd, chunk.data(), chunk.size(), offset), 65536);
    }
    ASSERT_EQ(ftruncate(fd, length), 0);
    close(fd);
  }
};

TEST_F(KernelCopyTest, FailuresFallBackToTheBufferWhichReportsThemWithTheirOwnCodes) {
  WriteSparse({0, 3 * 65536}, 5 * 65536 + 100);
  const std::string data = scratch_.Read(u"src/a");
  struct Case {
    std::vector<Fault> faults;
    const char16_t* context;  // nullptr: the buffer finishes the copy
    DWORD code;
  } cases[] = {
      {{Fault{Call::kCopyFileRange, 2, u"", 18}}, nullptr, 0},
      {{Fault{Call::kCopyFileRange, 1, u"", 18}, Fault{Call::kReadFile, 1, Frag(u"src/a"), 1117}},
       u"CopyOneFile:ReadFile(SOURCE)",
       1117},
      {{Fault{Call::kCopyFileRange, 2, u"", 18}, Fault{Call::kWriteFile, 1, Frag(u"dst/"), 112}},
       u"CopyOneFile:WriteFile(DESTINATION)",
       112},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(scratch_.Fs(u"dst/a"));
    Counters = RunCounters{};
    const std::string before = ErrorLog();
    FaultInjector faults;
    for (const Fault& fault : c.faults) faults.Add(fault);
    EXPECT_EQ(Copy(), c.context == nullptr ? 1 : 0);
    EXPECT_EQ(faults.Calls(Call::kCopyFileRange), c.faults[0].nth);  // then the buffer
    if (c.context == nullptr) {
      EXPECT_TRUE(scratch_.Read(u"dst/a") == data);
      EXPECT_EQ(Counters.ByteCount, data.size());
      EXPECT_EQ(ErrorLog(), before);
    } else {
      const bool names_source = c.code == 1117;
      EXPECT_EQ(ErrorLog(),
                before + ErrLine(1, P(names_source ? u"src/a" : u"dst/a"), c.context, c.code));
      EXPECT_FALSE(scratch_.Exists(u"dst/a"));  // never put in place
    }
    EXPECT_TRUE(faults.OpenHandles().empty());
  }
}

TEST_F(KernelCopyTest, HolesStayHolesAndCountInTheLength) {
  constexpr off_t kLength = 8 << 20;
  WriteSparse({0, 3 << 20}, kLength);  // ends in a hole
  EXPECT_EQ(Copy(), 1);
  struct stat source, copy;
  ASSERT_EQ(stat(scratch_.Fs(u"src/a").c_str(), &source), 0);
  ASSERT_EQ(stat(scratch_.Fs(u"dst/a").c_str(), &copy), 0);
  EXPECT_EQ(copy.st_size, kLength);
  EXPECT_LE(copy.st_blocks, source.st_blocks + 256);  // at most 128 KiB more
  EXPECT_TRUE(scratch_.Read(u"dst/a") == scratch_.Read(u"src/a"));
  EXPECT_EQ(Counters.ByteCount, static_cast<uint64_t>(kLength));
}

}  // namespace
}  // namespace vx
