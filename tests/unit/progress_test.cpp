// The status line against a stand-in terminal and clock, on both builds:
// its width, its rates over the last seconds, the time left, and how a
// console line is kept off it.
#include "report/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "copy/registries.h"
#include "copy/walk/counting_walk.h"
#include "report/report.h"
#include "run/run_state.h"
#include "run/stop.h"
#include "scratch.h"

namespace vx {
namespace {

// Standard error and output are one terminal of `columns` columns; what is
// written to it is kept in `shown`; the clock moves only when told.
struct StandInTerminal {
  static inline std::string shown;
  static inline DWORD columns = 80;
  static inline uint64_t now = 0;
  static inline int terminal = 0;  // its handle's address

  explicit StandInTerminal(DWORD width) : saved_(Os()) {
    shown.clear();
    columns = width;
    now = 132223104000000000ULL;
    Os().GetStdHandle = [](DWORD) -> HANDLE { return &terminal; };
    Os().GetFileType = [](HANDLE) -> DWORD { return FILE_TYPE_CHAR; };
    Os().GetTerminalColumns = [](HANDLE, DWORD* out) -> BOOL {
      *out = columns;
      return 1;
    };
    Os().GetSystemTimeAsFileTime = [](FILETIME* out) {
      out->dwLowDateTime = static_cast<DWORD>(now);
      out->dwHighDateTime = static_cast<DWORD>(now >> 32);
    };
    Os().WriteFile = [](HANDLE, const void* bytes, DWORD count, DWORD* written, void*) -> BOOL {
      shown.append(static_cast<const char*>(bytes), count);
      *written = count;
      return 1;
    };
    ResetRun();
    StartProgress();
  }
  ~StandInTerminal() {
    EndProgress();
    Os() = saved_;
    ResetRun();
  }
  static void Wait(double seconds) { now += static_cast<uint64_t>(seconds * 1e7); }
  // Every text drawn, without the padding that blanks a longer one.
  static std::vector<std::string> Draws() {
    std::vector<std::string> draws;
    for (size_t start = 0; start <= shown.size();) {
      const size_t cut = std::min(shown.find('\r', start), shown.size());
      const std::string draw = shown.substr(start, cut - start);
      if (draw.starts_with("files ")) draws.push_back(draw.substr(0, draw.find_last_not_of(' ') + 1));
      start = cut + 1;
    }
    return draws;
  }

  Platform saved_;
};

TEST(ProgressTest, TheLineFitsTheTerminalAndShowsRecentRatesAndTheTimeLeft) {
  // The whole is known from the walk's end, or from a count ahead of it
  // before the walk has met more than one file.
  const struct {
    DWORD columns;
    bool rates_shown;
    bool counted_ahead;
  } cases[] = {{40, false, false}, {200, true, false}, {200, true, true}};
  for (const auto& c : cases) {
    StandInTerminal terminal(c.columns);
    const std::u16string name = u"dir" + std::u16string(1, kPathSeparator) +
                                u"a-file-name-longer-than-forty-columns-of-terminal";
    if (c.counted_ahead) NoteCounted(4, 4000, false);
    NoteFileMet(name, 1000);
    if (c.counted_ahead) NoteCounted(10, 10000, true);
    for (int i = 1; i < 10; ++i) NoteFileMet(name, 1000);
    // Five files done in the first two seconds, the rest after a slow
    // start: the rates are those of the last seconds, not since the start.
    for (int i = 0; i < 5; ++i) {
      StandInTerminal::Wait(0.4);
      Counters.ByteCount += 1000;
      NoteFileDone(1000);
    }
    const std::vector<std::string> before = StandInTerminal::Draws();
    ASSERT_FALSE(before.empty());
    if (!c.counted_ahead) {
      // Until the walk has met them all, what is to do is unknown.
      EXPECT_EQ(before.back().find(" left"), std::string::npos) << before.back();
      EXPECT_EQ(before.back().find(", counting") != std::string::npos, c.rates_shown)
          << before.back();
      NoteAllMet();
    } else {
      EXPECT_TRUE(before[0].starts_with("files 0 of 4, 0 B of 3.91 KB, counting")) << before[0];
      EXPECT_NE(before.back().find(" left"), std::string::npos) << before.back();
    }
    StandInTerminal::Wait(0.4);
    ShowProgress(name, 500, 1000);
    const std::vector<std::string> draws = StandInTerminal::Draws();
    for (const std::string& draw : draws) EXPECT_LT(draw.size(), c.columns) << draw;
    const std::string& last = draws.back();
    // The percents where they fit.
    EXPECT_TRUE(last.starts_with(c.rates_shown ? "files 5 of 10 (50%), 5.37 KB of 9.77 KB (55%)"
                                               : "files 5 of 10, 5.37 KB of 9.77 KB"))
        << last;
    EXPECT_EQ(last.find("files/s") != std::string::npos, c.rates_shown) << last;
    if (c.rates_shown) {
      // 5 files and 5,000 bytes in 2.4 s; 4,500 bytes left at 2,292 a second.
      EXPECT_NE(last.find("(55%), 0:00:02 left, 2 files/s, 2.03 KB/s, "), std::string::npos) << last;
      EXPECT_TRUE(last.ends_with("-terminal 50%")) << last;
    }
  }
}

// The count ahead writes the books on its own thread while the walk writes
// them on the run's: with one copier the books are locked only while such
// a thread runs, which this makes happen (a race here is a sanitizer's
// finding). Its total is what the line shows once it is whole.
TEST(ProgressTest, ACountAheadBesideTheWalkShowsTheWholeTree) {
  testing::Scratch scratch;
  for (char16_t d = u'a'; d < u'd'; ++d) {
    for (char16_t f = u'0'; f <= u'9'; ++f) scratch.Write(std::u16string{d, u'/', f}, "x");
  }
  StandInTerminal terminal(120);
  ResetRegistries();
  WatchForStopRequests();  // a stop an earlier test asked for is not this one's
  HMODULE ntdll = Os().GetModuleHandleA("ntdll.dll");
  State.NtQueryDirectoryFile = reinterpret_cast<NtQueryDirectoryFileFn>(
      Os().GetProcAddress(ntdll, "NtQueryDirectoryFile"));
  std::string last;
  {
    CountingWalk count;
    count.StartIfShown(scratch.Path());
    for (int i = 0; i < 30; ++i) {
      StandInTerminal::Wait(0.3);
      AnnounceFile(u"f", 1);
      SettleFile(1);
    }
    for (int tries = 0; tries < 500 && !last.starts_with("files 30 of 30 (100%)"); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      StandInTerminal::Wait(0.3);
      ShowProgress(u"f", 0, 1);
      last = StandInTerminal::Draws().back();
    }
  }
  EXPECT_TRUE(last.starts_with("files 30 of 30 (100%), 30 B of 30 B (100%)")) << last;
}

// The bytes in "of" order, from a draw's "files 1 of 2, 900 B of 1.95 KB".
double BytesShown(const std::string& draw) {
  const size_t at = draw.find(", ") + 2;
  const double value = std::stod(draw.substr(at));
  const std::string unit = draw.substr(draw.find(' ', at) + 1, 2);
  return unit == "KB" ? value * 1024 : unit == "MB" ? value * 1024 * 1024 : value;
}

// With workers, one file's progress is shown while another's is settled:
// the bytes done shown never go back.
TEST(ProgressTest, TheBytesDoneShownNeverGoBack) {
  StandInTerminal terminal(200);
  NoteFileMet(u"a", 1000);
  NoteFileMet(u"b", 1000);
  const struct {
    const char16_t* path;
    uint64_t copied;  // of 1000; 0: the file is done
  } steps[] = {{u"a", 900}, {u"b", 10}, {u"a", 0}, {u"b", 20}, {u"b", 0}};
  for (const auto& step : steps) {
    StandInTerminal::Wait(0.3);
    if (step.copied == 0) {
      NoteFileDone(1000);
    } else {
      ShowProgress(step.path, step.copied, 1000);
    }
  }
  const std::vector<std::string> draws = StandInTerminal::Draws();
  ASSERT_GE(draws.size(), 4u);
  for (size_t i = 1; i < draws.size(); ++i) {
    EXPECT_GE(BytesShown(draws[i]), BytesShown(draws[i - 1])) << draws[i - 1] << " then " << draws[i];
  }
}

TEST(ProgressTest, AConsoleLineErasesTheLineAndTheNextDueDrawBringsItBack) {
  StandInTerminal terminal(80);
  NoteFileMet(u"first", 10);
  const size_t drawn = StandInTerminal::shown.size();
  {
    ProgressAside aside(false, u"FILE 000001: first (0 KB)");  // not yet a whole line
    EXPECT_EQ(StandInTerminal::shown.substr(drawn),
              "\r" + std::string(drawn - 1, ' ') + "\r");  // blanked, cursor at its start
  }
  const size_t erased = StandInTerminal::shown.size();
  EXPECT_EQ(erased, drawn + drawn + 1);  // nothing drawn on a line not ended
  {
    ProgressAside aside(false, u"\n");
  }
  EXPECT_EQ(StandInTerminal::shown.size(), erased);  // the last draw was just now
  StandInTerminal::Wait(0.25);
  {
    ProgressAside aside(false, u"\n");
  }
  EXPECT_EQ(StandInTerminal::shown.substr(erased), StandInTerminal::shown.substr(0, drawn));
  // A console line for each of 1,000 files in a second: at most four draws
  // a second, however many lines come between.
  const size_t draws_before = StandInTerminal::Draws().size();
  for (int i = 0; i < 1000; ++i) {
    StandInTerminal::Wait(0.001);
    ProgressAside aside(false, u"FILE 000002: next (0 KB)\n");
    NoteFileMet(u"next", 0);
  }
  EXPECT_LE(StandInTerminal::Draws().size() - draws_before, 4u);
  EndProgress();
  const std::string& shown = StandInTerminal::shown;
  const size_t blank = shown.find_last_of('\r', shown.size() - 2);
  EXPECT_EQ(shown.find_first_not_of(' ', blank + 1), shown.size() - 1);  // erased at the end
}

}  // namespace
}  // namespace vx
