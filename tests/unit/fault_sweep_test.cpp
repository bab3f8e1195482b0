// Every platform call of representative runs failed in turn, one call per
// run: whatever fails, no handle is left open, the error count agrees across
// the Log, the ErrorLog, the summary and the exit code, and every source file
// is either copied intact or named (itself or a directory above it) in an
// ERR line; under /StopAtFirstError nothing is walked after the first error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "fault_injection.h"
#include "scratch.h"

namespace vx {
namespace {

using testing::Bytes;
using testing::Call;
using testing::ConsoleCapture;
using testing::Fault;
using testing::FaultInjector;
using testing::k2020;
using testing::RunVelmox;
using testing::Scratch;
using testing::SetLastWriteTicks;

constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);

const char16_t* const kFiles[] = {u"a", u"b", u"sub/c", u"sub/deeper/d"};

struct Scenario {
  const char* name;
  std::vector<std::u16string> flags;
  bool rerun;  // over a complete earlier copy, with two sources newer
  bool stop_at_first_error;
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

class FaultSweepTest : public ::testing::TestWithParam<Scenario> {
 protected:
  // A fresh tree in a fresh scratch directory, ready for the run.
  void Prepare() {
    scratch_ = std::make_unique<Scratch>();
    scratch_->MakeDir(u"src/sub/deeper");
    scratch_->Write(u"src/a", std::string(100000, 'a'));  // two chunks of 64 KB
    scratch_->Write(u"src/b", "");
    scratch_->Write(u"src/sub/c", "c");
    scratch_->Write(u"src/sub/deeper/d", "d");
    // Where links are kept, a link is copied as one.
    if (kLinksKeptByDefault)
      std::filesystem::create_symlink("deeper", scratch_->Fs(u"src/sub/link"));
    if (GetParam().rerun) {
      ASSERT_EQ(Run({u"/SubDirectories", u"/CreateDestinationDirectory"}), 0);
      scratch_->Write(u"src/a", std::string(90000, 'A'));
      scratch_->Write(u"src/sub/c", "new c");
      SetLastWriteTicks(scratch_->Path(u"src/a"), k2020 * 2);
      SetLastWriteTicks(scratch_->Path(u"src/sub/c"), k2020 * 2);
      // What the source no longer has: /Mirror removes it, or names it.
      scratch_->Write(u"dst/gone", "gone");
      scratch_->Write(u"dst/sub/old/x", "x");
    }
    old_copies_.clear();
    for (const char16_t* file : kFiles) {
      const std::u16string relative = std::u16string(u"dst/") + file;
      if (scratch_->Exists(relative)) old_copies_[file] = scratch_->Read(relative);
    }
  }
  // No temporary file is left anywhere in the destination.
  bool NoTemporaryFiles() const {
    if (!scratch_->Exists(u"dst")) return true;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch_->Fs(u"dst"))) {
      if (entry.path().filename().string().rfind(".velmox~", 0) == 0) return false;
    }
    return true;
  }
  int Run(const std::vector<std::u16string>& flags) {
    std::vector<std::u16string> arguments = {u"/Source:" + scratch_->Path(u"src"),
                                             u"/Dest:" + scratch_->Path(u"dst"),
                                             u"/Silent",
                                             u"/CopyBufferSize:64",
                                             u"/Log:" + scratch_->Path(u"run.log"),
                                             u"/ErrorLog:" + scratch_->Path(u"run.err")};
    arguments.insert(arguments.end(), flags.begin(), flags.end());
    return RunVelmox(arguments);
  }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }
  static bool IsErr(const std::string& line) { return line.rfind("ERR  ", 0) == 0; }
  static std::string Subject(const std::string& err) {
    const size_t start = err.find(": ") + 2;
    return err.substr(start, err.find(": ", start) - start);
  }
  // Whether some ERR subject is the file or a directory above it, on the
  // source or the destination side.
  static bool Named(const std::vector<std::string>& subjects, std::u16string_view file) {
    std::string relative(file.begin(), file.end());
    std::replace(relative.begin(), relative.end(), '/', static_cast<char>(kPathSeparator));
    for (;;) {
      for (const std::string& subject : subjects) {
        for (const char* root : {"src", "dst"}) {
          const std::string tail =
              relative.empty()
                  ? root
                  : root + std::string(1, static_cast<char>(kPathSeparator)) + relative;
          if (subject.size() >= tail.size() &&
              subject.compare(subject.size() - tail.size(), tail.size(), tail) == 0) {
            return true;
          }
        }
      }
      if (relative.empty()) return false;
      const size_t cut = relative.find_last_of(static_cast<char>(kPathSeparator));
      relative.resize(cut == std::string::npos ? 0 : cut);
    }
  }

  void Check(const FaultInjector& faults, int result, const std::string& where) {
    SCOPED_TRACE(where);
    EXPECT_TRUE(faults.OpenHandles().empty());
    if (result == -1) {  // fatal before the walk: nothing copied
      EXPECT_EQ(scratch_->Exists(u"dst"), GetParam().rerun);
      return;
    }
    const bool log_lost = faults.HitPath().find(u"run.log") != std::u16string::npos;
    const bool err_lost = faults.HitPath().find(u"run.err") != std::u16string::npos;
    const std::vector<std::string> log = Lines(scratch_->Read(u"run.log"));
    const std::vector<std::string> err = Lines(scratch_->Read(u"run.err"));
    if (!err_lost) {
      EXPECT_EQ(result, static_cast<int>(err.size()));
    }
    if (log_lost) return;
    EXPECT_EQ(result, std::count_if(log.begin(), log.end(), IsErr));
    EXPECT_NE(std::find(log.begin(), log.end(), "Errors         : " + std::to_string(result)),
              log.end());
    std::vector<std::string> subjects;
    for (const std::string& line : log) {
      if (IsErr(line)) subjects.push_back(Subject(line));
    }
    if (GetParam().stop_at_first_error) {
      auto first = std::find_if(log.begin(), log.end(), IsErr);
      for (auto line = first; line != log.end(); ++line) {
        EXPECT_NE(line->rfind("DIR  ", 0), 0u) << *line;
        EXPECT_NE(line->rfind("FILE ", 0), 0u) << *line;
      }
      return;
    }
    EXPECT_TRUE(NoTemporaryFiles());
    if (std::find(GetParam().flags.begin(), GetParam().flags.end(), u"/Mirror") !=
        GetParam().flags.end()) {
      for (const char16_t* gone : {u"gone", u"sub/old"}) {
        EXPECT_TRUE(!scratch_->Exists(u"dst/" + std::u16string(gone)) || Named(subjects, gone) ||
                    Named(subjects, u"sub/old/x"))
            << Bytes(gone);
      }
    }
    if (kLinksKeptByDefault) {
      const std::filesystem::path link = scratch_->Fs(u"dst/sub/link");
      const bool kept =
          std::filesystem::is_symlink(link) && std::filesystem::read_symlink(link) == "deeper";
      EXPECT_TRUE(kept || Named(subjects, u"sub/link"));
    }
    for (const char16_t* file : kFiles) {
      const std::u16string relative(file);
      const bool present = scratch_->Exists(u"dst/" + relative);
      const std::string copy = present ? scratch_->Read(u"dst/" + relative) : std::string();
      const bool intact = present && copy == scratch_->Read(u"src/" + relative);
      EXPECT_TRUE(intact || Named(subjects, relative))
          << std::string(relative.begin(), relative.end());
      // A failed replacement leaves the old copy as it was, byte for byte.
      auto old = old_copies_.find(relative);
      if (old != old_copies_.end()) {
        EXPECT_TRUE(intact || copy == old->second) << std::string(relative.begin(), relative.end());
      } else {
        EXPECT_TRUE(intact || !present) << std::string(relative.begin(), relative.end());
      }
    }
  }

  std::unique_ptr<Scratch> scratch_;
  std::map<std::u16string, std::string> old_copies_;
  ConsoleCapture console_;
};

TEST_P(FaultSweepTest, EveryCallFailedInTurn) {
  const Scenario& scenario = GetParam();
  int calls[static_cast<int>(Call::kCount)];
  {
    Prepare();
    FaultInjector faults;
    ASSERT_EQ(Run(scenario.flags), 0);
    for (int kind = 0; kind < static_cast<int>(Call::kCount); ++kind) {
      calls[kind] = faults.Calls(static_cast<Call>(kind));
    }
  }
  int runs = 0;
  for (int kind = 0; kind < static_cast<int>(Call::kCount); ++kind) {
    for (int nth = 1; nth <= calls[kind]; ++nth, ++runs) {
      Prepare();
      FaultInjector faults;
      faults.Add(
          Fault{static_cast<Call>(kind), nth, u"", ERROR_ACCESS_DENIED, kStatusAccessDenied});
      const int result = Run(scenario.flags);
      Check(faults, result, "call kind " + std::to_string(kind) + ", call " + std::to_string(nth));
    }
  }
  EXPECT_GT(runs, 50);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FaultSweepTest,
    ::testing::Values(
        Scenario{"Copy",
                 {u"/SubDirectories", u"/SecurityDescriptor", u"/CreateDestinationDirectory"},
                 false,
                 false},
        Scenario{"OnlyNewerRerun", {u"/SubDirectories", u"/OnlyNewer"}, true, false},
        Scenario{"MirrorRerun", {u"/SubDirectories", u"/OnlyNewer", u"/Mirror"}, true, false},
        Scenario{"StopAtFirstError",
                 {u"/SubDirectories", u"/StopAtFirstError", u"/CreateDestinationDirectory"},
                 false,
                 true},
        // Workers: a fault may meet any of them, or the walk.
        Scenario{"CopyTwoThreads",
                 {u"/SubDirectories", u"/SecurityDescriptor", u"/CreateDestinationDirectory",
                  u"/Threads:2"},
                 false,
                 false},
        Scenario{"MirrorRerunTwoThreads",
                 {u"/SubDirectories", u"/OnlyNewer", u"/Mirror", u"/Threads:2"},
                 true,
                 false}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// Every entry a platform has is wrapped by the seam, so that any call the
// core makes can be counted and failed, save those that cannot fail (and
// the last error, which the seam itself sets): a new entry without a
// wrapper is named here by its place in the table.
TEST(FaultSeamTest, EveryEntryOfTheTableIsWrapped) {
  using Entry = void (*)();
  static_assert(sizeof(Platform) % sizeof(Entry) == 0, "the table holds entries only");
  constexpr size_t kEntries = sizeof(Platform) / sizeof(Entry);
  const Platform layout{};
  auto place = [&](const auto& member) {
    return static_cast<size_t>(reinterpret_cast<const char*>(&member) -
                               reinterpret_cast<const char*>(&layout)) / sizeof(Entry);
  };
  const size_t cannot_fail[] = {
      place(layout.CompareFileTime), place(layout.GetLastError), place(layout.SetLastError),
      place(layout.LocalFree), place(layout.GetSystemTimeAsFileTime),
      place(layout.GetCurrentProcess), place(layout.SetLooksAtOnce)};
  auto entry = [](const Platform& table, size_t at) {
    Entry found;
    std::memcpy(&found, reinterpret_cast<const char*>(&table) + at * sizeof(Entry), sizeof found);
    return found;
  };
  const Platform real = Os();
  FaultInjector faults;
  for (size_t at = 0; at < kEntries; ++at) {
    if (entry(real, at) != nullptr && std::ranges::find(cannot_fail, at) == std::end(cannot_fail)) {
      EXPECT_NE(entry(Os(), at), entry(real, at)) << "entry " << at << " of the table";
    }
  }
}

}  // namespace
}  // namespace vx
