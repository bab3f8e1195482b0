// /Threads:4 against /Threads:1 on the same trees: the same destination,
// the same lines (ERR, WAIT and DEL numbers count in the order the lines
// were written, so only their order may differ), the same summary and exit
// code. Faults are aimed at files by path, so they meet the same file
// whichever worker copies it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "copy/walk/workers.h"
#include "fault_injection.h"
#include "run/stop.h"
#include "scratch.h"

namespace vx {
namespace {

using testing::Call;
using testing::ConsoleCapture;
using testing::Fault;
using testing::FaultInjector;
using testing::k2020;
using testing::LastWriteTicks;
using testing::RunVelmox;
using testing::Scratch;
using testing::SetLastWriteTicks;

namespace fs = std::filesystem;

constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr DWORD kSharingViolation = 32;  // tried again with /Retry:

// What a run left: its log's lines with the destination root written as
// <dst> and the settings block cut off, and the destination tree.
struct Outcome {
  int result = 0;
  std::vector<std::string> lines;
  std::map<std::string, std::string> tree;  // relative path: kind, bytes, time, links
  int calls = 0;                              // platform calls, of every kind
  std::map<int, int> calls_by_kind;           // the same, by Call
};

// The source: three directory levels, files of 0 bytes to three buffers,
// two hard-link groups across directories, and (where links are kept) a
// link. Every name ends in ".txt" or is a directory, so that a path
// fragment names one file only.
void MakeSource(const Scratch& scratch) {
  for (int d = 0; d < 3; ++d) {
    const std::u16string dir = u"src/d" + std::u16string(1, static_cast<char16_t>(u'0' + d));
    scratch.MakeDir(dir + u"/inner");
    for (int f = 0; f < 8; ++f) {
      const std::u16string name = u"/f" + std::u16string(1, static_cast<char16_t>(u'0' + f));
      scratch.Write(dir + name + u".txt", std::string(static_cast<size_t>(f * f * 3000), 'a' + f));
      scratch.Write(dir + u"/inner" + name + u".txt", std::string(static_cast<size_t>(f), 'z'));
    }
  }
  scratch.Write(u"src/top.txt", "top");
  scratch.MakeDir(u"src/d1/empty");
  fs::create_hard_link(scratch.Fs(u"src/d0/f5.txt"), scratch.Fs(u"src/d1/h5.txt"));
  fs::create_hard_link(scratch.Fs(u"src/d0/f5.txt"), scratch.Fs(u"src/d2/inner/h5.txt"));
  fs::create_hard_link(scratch.Fs(u"src/d1/f7.txt"), scratch.Fs(u"src/d2/h7.txt"));
  if (kLinksKeptByDefault) fs::create_symlink("f1.txt", scratch.Fs(u"src/d1/link.txt"));
  // Directories of a time long past: one left unfinished, of the time it
  // was made, never has its source's time by chance (Wine keeps seconds).
  for (const char16_t* directory : {u"src/d0/inner", u"src/d1/inner", u"src/d2/inner", u"src/d1/empty", u"src/d0",
                                    u"src/d1", u"src/d2", u"src"}) {
    SetLastWriteTicks(scratch.Path(directory), k2020);
  }
}

// An hour later than the file's time now: newer than its copy, and a time
// every file system keeps.
void MakeNewer(const Scratch& scratch, std::u16string_view relative) {
  constexpr uint64_t kHour = 36000000000ULL;
  const std::u16string path = scratch.Path(relative);
  SetLastWriteTicks(path, LastWriteTicks(path) + kHour);
}

// Changes for a rerun: files edited and given a later time, a file and a
// directory the source no longer has, and a file where a directory was.
void ChangeSource(const Scratch& scratch) {
  for (const char16_t* edited : {u"src/d0/f2.txt", u"src/d2/inner/f6.txt", u"src/top.txt"}) {
    scratch.Write(edited, "edited");
    MakeNewer(scratch, edited);
  }
  fs::remove(scratch.Fs(u"src/d1/f3.txt"));
  fs::remove_all(scratch.Fs(u"src/d2/inner"));
  scratch.Write(u"src/d2/inner", "now a file");
  MakeNewer(scratch, u"src/d2/inner");
}

std::string Normalized(std::string line, const std::string& destination) {
  for (size_t at; (at = line.find(destination)) != std::string::npos;) {
    line.replace(at, destination.size(), "<dst>");
  }
  return line;
}

// A directory is told by whether it has its source's time (an unfinished
// one keeps the time it was made at).
std::map<std::string, std::string> TreeOf(const fs::path& root, const fs::path& source) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).generic_string();
    std::ostringstream what;
    std::error_code no_time;
    const auto time = entry.last_write_time(no_time).time_since_epoch().count();
    if (entry.is_symlink()) {
      what << "link " << fs::read_symlink(entry.path()).generic_string();
    } else if (entry.is_directory()) {
      std::error_code gone;
      const bool source_time =
          fs::last_write_time(source / relative, gone) == entry.last_write_time(no_time);
      what << (source_time ? "dir with its source's time" : "dir of its own time");
    } else {
      const std::string bytes = testing::ReadWholeFile(entry.path());
      what << "file of " << bytes.size() << " bytes, hash " << std::hash<std::string>{}(bytes)
           << ", time " << time << ", " << entry.hard_link_count() << " names, mode "
           << static_cast<int>(entry.status().permissions());
    }
    tree[relative] = what.str();
  }
  return tree;
}

class ThreadsTest : public ::testing::Test {
 protected:
  // Runs velmox from src to `destination` with `flags`; `setup` adds the
  // faults, given the injector, before the run.
  Outcome Run(const std::u16string& destination, std::vector<std::u16string> flags,
              const std::function<void(FaultInjector&)>& setup) {
    std::vector<std::u16string> arguments = {
        u"/Source:" + scratch_->Path(u"src"), u"/Dest:" + scratch_->Path(destination), u"/Silent",
        u"/CopyBufferSize:16", u"/Log:" + scratch_->Path(u"run.log")};
    arguments.insert(arguments.end(), flags.begin(), flags.end());
    Outcome outcome;
    {
      FaultInjector faults;
      if (setup) setup(faults);
      outcome.result = RunVelmox(arguments);
      // Each worker's buffer is its own; every other call counts.
      for (int kind = 0; kind < static_cast<int>(Call::kCount); ++kind) {
        if (static_cast<Call>(kind) != Call::kVirtualAlloc) {
          const int calls = faults.Calls(static_cast<Call>(kind));
          outcome.calls += calls;
          if (calls != 0) outcome.calls_by_kind[kind] = calls;
        }
      }
    }
    const std::string root = testing::Bytes(scratch_->Path(destination));
    std::istringstream log(scratch_->Read(u"run.log"));
    bool in_settings = true;
    int dashes = 0;
    for (std::string line; std::getline(log, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // The settings block ends at its third dashed line.
      if (in_settings) {
        if (line.rfind("-----", 0) == 0 && ++dashes == 3) in_settings = false;
        continue;
      }
      if (line.rfind("Elapsed time", 0) == 0) continue;
      outcome.lines.push_back(Normalized(line, root));
    }
    outcome.tree = TreeOf(scratch_->Fs(destination), scratch_->Fs(u"src"));
    return outcome;
  }

  // Lines of a kind ("ERR  ") count 1, 2, 3... in the order written.
  static void ExpectCountedInOrder(const std::vector<std::string>& lines, const std::string& kind) {
    int expected = 0;
    for (const std::string& line : lines) {
      if (line.rfind(kind, 0) != 0) continue;
      EXPECT_EQ(std::stoi(line.substr(kind.size(), 6)), ++expected) << line;
    }
  }

  // The lines as a multiset, numbers of lines the workers write taken out.
  static std::multiset<std::string> Unnumbered(const std::vector<std::string>& lines) {
    std::multiset<std::string> result;
    for (std::string line : lines) {
      for (const std::string kind : {"ERR  ", "WAIT ", "DEL  "}) {
        if (line.rfind(kind, 0) == 0) line.replace(kind.size(), 6, "######");
      }
      result.insert(line);
    }
    return result;
  }

  void ExpectSame(const std::vector<std::u16string>& flags,
                  const std::function<void(FaultInjector&)>& setup, bool rerun,
                  bool same_calls) {
    if (rerun) {
      for (const char16_t* destination : {u"one", u"four"}) {
        ASSERT_EQ(RunVelmox({u"/Source:" + scratch_->Path(u"src"),
                             u"/Dest:" + scratch_->Path(destination), u"/Silent",
                             u"/SubDirectories", u"/CreateDestinationDirectory", u"/HardLinks"}),
                  0);
      }
      ChangeSource(*scratch_);
    }
    std::vector<std::u16string> four = flags;
    four.push_back(u"/Threads:4");
    const Outcome one_thread = Run(u"one", flags, setup);
    const Outcome four_threads = Run(u"four", four, setup);
    EXPECT_EQ(four_threads.result, one_thread.result);
    // A worker is handed what the walk knows of a file: it makes no call
    // the walk would not have made.
    if (same_calls) {
      EXPECT_LE(four_threads.calls, one_thread.calls);
      for (const auto& [kind, calls] : four_threads.calls_by_kind) {
        const auto single = one_thread.calls_by_kind.find(kind);
        EXPECT_LE(calls, single == one_thread.calls_by_kind.end() ? 0 : single->second)
            << "calls of kind " << kind;
      }
    }
    // Entry by entry, so that a failure names what differs.
    std::map<std::string, std::string> all = one_thread.tree;
    all.insert(four_threads.tree.begin(), four_threads.tree.end());
    for (const auto& [path, unused] : all) {
      auto find = [&path](const std::map<std::string, std::string>& tree) {
        auto it = tree.find(path);
        return it == tree.end() ? std::string("(absent)") : it->second;
      };
      EXPECT_EQ(find(four_threads.tree), find(one_thread.tree)) << path;
    }
    EXPECT_EQ(Unnumbered(four_threads.lines), Unnumbered(one_thread.lines));
    // The walk's own lines keep their order.
    auto walk_lines = [](const std::vector<std::string>& lines) {
      std::vector<std::string> kept;
      std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept), [](const std::string& l) {
        return l.rfind("DIR  ", 0) == 0 || l.rfind("FILE ", 0) == 0;
      });
      return kept;
    };
    EXPECT_EQ(walk_lines(four_threads.lines), walk_lines(one_thread.lines));
    for (const char* kind : {"ERR  ", "WAIT ", "DEL  "}) {
      ExpectCountedInOrder(four_threads.lines, kind);
    }
  }

  std::unique_ptr<Scratch> scratch_;
  ConsoleCapture console_;
};

TEST_F(ThreadsTest, FourThreadsGiveWhatOneGives) {
  const std::vector<std::u16string> copy = {u"/SubDirectories", u"/CreateDestinationDirectory",
                                            u"/HardLinks", u"/SecurityDescriptor"};
  // Faults at calls the workers make for chosen files, drawn at random
  // (the seed is printed with a failure).
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 draw(seed);
  // Calls that name the file itself (not its temporary copy) first; the
  // hard-linked f5 and f7 are left alone, since which of their names is
  // copied and which linked depends on which worker comes first.
  const Call file_calls[] = {Call::kCreateFileW, Call::kReadFile, Call::kMoveFileW,
                             Call::kGetKernelObjectSecurity, Call::kGetFileInformationByHandle};
  const char16_t files[] = u"012346";
  std::vector<Fault> random_faults;
  for (int i = 0; i < 6; ++i) {
    const std::u16string file = u"d" + std::u16string(1, static_cast<char16_t>(u'0' + draw() % 3)) +
                                kPathSeparator + u"f" + std::u16string(1, files[draw() % 6]) +
                                u".txt";
    random_faults.push_back(Fault{file_calls[draw() % std::size(file_calls)], 1,
                                  kPathSeparator + file, ERROR_ACCESS_DENIED, kStatusAccessDenied});
  }
  const std::u16string f4 = std::u16string(1, kPathSeparator) + u"f4.txt";
  // The walk's first listing records slowed to a share's pace: listings are
  // then read ahead of the walk by the copiers.
  auto slow_listing = [](FaultInjector& faults) {
    for (int nth = 1; nth <= 16; ++nth) {
      faults.Add(Fault{Call::kNtQueryDirectoryFile, nth, u"", 0, 0, Fault::Kind::kBefore, 0,
                       [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); }});
    }
  };
  struct Case {
    const char* name;
    std::vector<std::u16string> flags;
    std::function<void(FaultInjector&)> setup;
    bool rerun;
    bool same_calls = false;
  } cases[] = {
      {"copy", copy, nullptr, false, true},
      {"random faults", copy,
       [&](FaultInjector& faults) {
         faults.BufferOnly();
         for (const Fault& fault : random_faults) faults.Add(fault);
       },
       false},
      {"a transient failure tried again, another not",
       {u"/SubDirectories", u"/CreateDestinationDirectory", u"/Retry:1", u"/Wait:0"},
       [&](FaultInjector& faults) {
         faults.BufferOnly();
         faults.Add(Fault{Call::kReadFile, 1, u"d1" + f4, kSharingViolation});
         faults.Add(Fault{Call::kReadFile, 1, u"d2" + f4, kSharingViolation});
         faults.Add(Fault{Call::kReadFile, 2, u"d2" + f4, kSharingViolation});
       },
       false},
      {"interrupted", copy,
       [](FaultInjector& faults) {
         faults.Add(Fault{Call::kNtQueryDirectoryFile, 1, u"", 0, 0, Fault::Kind::kBefore, 0,
                          [] { OnStopRequest(CTRL_C_EVENT); }});
       },
       false},
      {"stop at first error",
       {u"/SubDirectories", u"/CreateDestinationDirectory", u"/StopAtFirstError"},
       [&](FaultInjector& faults) {
         faults.Add(Fault{Call::kCreateFileW, 1, u"d1" + f4, ERROR_ACCESS_DENIED});
       },
       false},
      {"mirror rerun",
       {u"/SubDirectories", u"/OnlyNewer", u"/Mirror", u"/HardLinks"},
       nullptr,
       true,
       true},
      {"list rerun", {u"/SubDirectories", u"/OnlyNewer", u"/Mirror", u"/List"}, nullptr, true},
      {"listings read ahead", copy, slow_listing, false, true},
      // A directory's security the copier reading ahead cannot read, the
      // walk reads again, and reports as one thread does.
      {"listings read ahead, a directory's security refused", copy,
       [&](FaultInjector& faults) {
         slow_listing(faults);
         for (int nth = 1; nth <= 2; ++nth) {
           faults.Add(Fault{Call::kGetKernelObjectSecurity, nth,
                            std::u16string(1, kPathSeparator) + u"empty", ERROR_ACCESS_DENIED});
         }
       },
       false},
      {"listings read ahead, mirror rerun",
       {u"/SubDirectories", u"/OnlyNewer", u"/Mirror", u"/HardLinks"},
       slow_listing,
       true,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_ = std::make_unique<Scratch>();
    MakeSource(*scratch_);
    ExpectSame(c.flags, c.setup, c.rerun, c.same_calls);
  }
}

// Two names that meet one copy on a destination that ignores case are one
// collision whichever worker decides first: the first to decide takes the
// copy, and its data is at its name.
TEST_F(ThreadsTest, NamesMeetingOneCopyCollideWhicheverWorkerIsFirst) {
  if (kNamesIgnoreCase) GTEST_SKIP() << "the source cannot hold both names here";
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    scratch_ = std::make_unique<Scratch>();
    scratch_->Write(u"src/x", "x");
    scratch_->Write(u"src/X", "X");
    scratch_->Write(u"four/x", "old");
    const Outcome outcome = Run(u"four", {u"/Overwrite", u"/Threads:4"}, [&](FaultInjector& faults) {
      faults.CaseInsensitiveBelow(scratch_->Path(u"four"));
    });
    EXPECT_EQ(outcome.result, 1);
    const std::string log = scratch_->Read(u"run.log");
    const std::string collision = ": The file exists. at CopyOneFile:NameCollision(DESTINATION)";
    const size_t at = log.find(collision);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find(collision, at + 1), std::string::npos) << log;
    // The stand-in ignores case only where it opens: the winner's rename
    // makes its own spelling.
    const char16_t* winner = log[at - 1] == 'X' ? u"four/x" : u"four/X";
    EXPECT_EQ(scratch_->Read(winner), log[at - 1] == 'X' ? "x" : "X");
  }
}

// On one core, files quicker than a hand-over are copied by the walk on the
// spot, and no worker thread starts for them; once most of a batch's worth
// are slow, files are handed over. One slow file among quick ones changes
// nothing.
TEST(WorkersTest, QuickFilesStayWithTheWalkOnOneCoreAndStartNoThread) {
  const struct {
    int slow;  // of the 16 files copied on the spot
    bool copies_here;
  } cases[] = {{0, true}, {1, true}, {6, true}, {10, false}, {16, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slow);
    Workers workers;
    std::vector<char> buffers[3];
    ASSERT_TRUE(workers.Start({buffers[0].data(), buffers[1].data(), buffers[2].data()}, 1));
    for (int file = 0; file < 16; ++file) {
      ASSERT_TRUE(workers.CopiesHere());
      // Waited out on the clock: a sleep this short may not sleep at all.
      const auto start = std::chrono::steady_clock::now();
      while (file < c.slow &&
             std::chrono::steady_clock::now() - start < std::chrono::microseconds(50)) {
      }
      workers.CopiedHere();
    }
    EXPECT_EQ(workers.CopiesHere(), c.copies_here);
    if (c.copies_here) workers.CopiedHere();
    EXPECT_FALSE(workers.Running());
    // What is handed over starts them.
    FilesOf directory;
    std::atomic<bool> done{false};
    workers.RunAhead([&done] { done = true; }, &directory);
    workers.WaitUntil([&done] { return done.load(); });
    EXPECT_TRUE(workers.Running());
  }
}

// With a core to spare, quick files are shared with the workers: handed
// over, run once each, shared by the walk where the workers fall behind,
// and waited for by their directory.
TEST(WorkersTest, QuickFilesWithACoreToSpareAreShared) {
  for (const size_t copiers : {2u, 8u}) {
    SCOPED_TRACE(copiers);
    Workers workers;
    std::vector<std::vector<char>> buffers(copiers);
    std::vector<void*> starts;
    for (auto& buffer : buffers) starts.push_back(buffer.data());
    ASSERT_TRUE(workers.Start(starts, 2));
    constexpr int kFiles = 16 * 40 + 5;
    std::vector<std::atomic<int>> runs(kFiles);
    FilesOf directory;
    for (int file = 0; file < kFiles; ++file) {
      ASSERT_FALSE(workers.CopiesHere());
      FileJob job;
      job.directory = &directory;
      job.task = [&runs, file] { ++runs[file]; };
      workers.Copy(std::move(job));
    }
    workers.WaitFor(&directory);
    EXPECT_TRUE(workers.Running());
    for (int file = 0; file < kFiles; ++file) ASSERT_EQ(runs[file].load(), 1) << file;
  }
}

}  // namespace
}  // namespace vx
