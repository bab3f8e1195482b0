#include "durability.h"

#include <cstring>
#include <string>
#include <vector>

#include "../../report/report.h"
#include "../../report/text.h"
#include "../run_settings.h"
#include "../walk/stop.h"
#include "../access.h"
#include "write_gate.h"

namespace vx {

namespace {
// The mark one run kept before each run kept its own; each run's own is
// "running." and an id of its own, holding its start as FILETIME ticks.
constexpr char16_t kRunningMark[] = u"running";
constexpr std::u16string_view kRunMarkPrefix = u"running.";
// The start and the end of the last run that ended with nothing left
// undone, and what it carried.
constexpr char16_t kFinishedMark[] = u"finished";
constexpr char16_t kEndedMark[] = u"ended";
constexpr char16_t kCarriedMark[] = u"carried";
constexpr char16_t kPrivateMark[] = u"private";

bool SetPrivateMark(HANDLE directory, const std::u16string& path, bool on) {
  if (Os().SetDirectoryMark == nullptr) return true;
  static constexpr char kOn[] = "1";
  if (Os().SetDirectoryMark(directory, kPrivateMark, kOn, on ? 1 : 0)) return true;
  const DWORD code = Os().GetLastError();
  if (code == ERROR_NOT_SUPPORTED) return true;
  ReportWin32Error(path, u"CopyOneDirectory:SetPrivateMark(DESTINATION-DIR)", code);
  return false;
}
}  // namespace

bool MarkPrivate(HANDLE directory, const std::u16string& path) {
  return SetPrivateMark(directory, path, true);
}

bool UnmarkPrivate(HANDLE directory, const std::u16string& path) {
  return SetPrivateMark(directory, path, false);
}

bool IsMarkedPrivate(HANDLE directory) {
  if (Os().GetDirectoryMark == nullptr) return false;
  char value[8];
  DWORD returned = 0;
  return Os().GetDirectoryMark(directory, kPrivateMark, value, sizeof value, &returned) ||
         Os().GetLastError() == ERROR_MORE_DATA;
}

namespace {

void ReleaseRunMarkLock() {
  if (State.RunMarkLock != INVALID_HANDLE_VALUE) Os().CloseHandle(State.RunMarkLock);
  State.RunMarkLock = INVALID_HANDLE_VALUE;
  State.RunMarked = false;
}

// The eight bytes of a time mark, least significant first.
bool ReadTimeMark(HANDLE root, const char16_t* name, uint64_t* ticks) {
  unsigned char value[8] = {};
  DWORD returned = 0;
  if (!Os().GetDirectoryMark(root, name, value, sizeof value, &returned) ||
      returned != sizeof value) {
    return false;
  }
  *ticks = 0;
  for (int i = 7; i >= 0; --i) *ticks = *ticks << 8 | value[i];
  return true;
}

bool WriteTimeMark(HANDLE root, const char16_t* name, uint64_t ticks) {
  unsigned char value[8];
  for (int i = 0; i < 8; ++i) value[i] = static_cast<unsigned char>(ticks >> (8 * i));
  return Os().SetDirectoryMark(root, name, value, sizeof value) != 0;
}

// The names of the root's marks; where they cannot be listed, the one mark
// a single run kept before runs had marks of their own.
bool RunMarksOf(HANDLE root, std::vector<std::u16string>* marks) {
  if (Os().ListDirectoryMarks == nullptr) {
    marks->push_back(kRunningMark);
    return true;
  }
  std::u16string names(256, u'\0');
  DWORD returned = 0;
  while (!Os().ListDirectoryMarks(root, names.data(), static_cast<DWORD>(names.size()),
                                  &returned)) {
    if (Os().GetLastError() != ERROR_MORE_DATA || returned <= names.size()) return false;
    names.resize(returned);
  }
  names.resize(returned);
  for (size_t at = 0; at < names.size();) {
    const size_t end = names.find(u'\0', at);
    const std::u16string name = names.substr(at, end - at);
    at = end + 1;
    if (name == kRunningMark || name.starts_with(kRunMarkPrefix)) marks->push_back(name);
  }
  return true;
}

// Whether the run that keeps `mark` is running now: it holds the mark's
// lock. A mark without a lock (one kept before runs had their own), or
// whose lock cannot be asked about, is taken for an ended run's.
bool IsLiveRun(HANDLE root, const std::u16string& mark) {
  if (mark == kRunningMark || Os().IsDirectoryMarkLocked == nullptr) return false;
  BOOL locked = 0;
  return Os().IsDirectoryMarkLocked(root, mark.c_str(), &locked) && locked;
}

// A name no other run draws: "running." and 16 hex digits.
std::u16string OwnRunMarkName(uint64_t now) {
  uint64_t id = now ^ (uint64_t{State.RunNumber} << 32);
  if (Os().GenerateRandom != nullptr) Os().GenerateRandom(&id, sizeof id);
  std::u16string name(kRunMarkPrefix);
  for (int shift = 60; shift >= 0; shift -= 4) name += u"0123456789abcdef"[(id >> shift) & 15];
  return name;
}

// The unfinished runs whose marks the root keeps (their runs not running
// any more): the earliest start among them, from which on every changed
// copy is taken for cut. A start later than now means the clock was set
// back since: the start of the last run that ended is then the earliest
// the run can have begun, or, unknown, any time at all.
// False after reporting where the marks cannot be read: the run cannot
// tell what an earlier run may have cut, and writes nothing.
bool FindUnfinishedRuns(HANDLE root, const std::u16string& root_path, uint64_t now,
                        bool* readable) {
  State.UnfinishedRunStart = 0;
  State.UnfinishedRunMarks.clear();
  std::vector<std::u16string> marks;
  if (!RunMarksOf(root, &marks)) {
    const DWORD code = Os().GetLastError();
    if (code == ERROR_NOT_SUPPORTED) return true;
    ReportWin32Error(root_path, u"CopyOneDirectory:ListMarks(DESTINATION-DIR)", code);
    return false;
  }
  *readable = Os().ListDirectoryMarks != nullptr;
  uint64_t earliest = 0;
  bool in_the_future = false;
  for (const std::u16string& mark : marks) {
    uint64_t start = 0;
    if (IsLiveRun(root, mark) || !ReadTimeMark(root, mark.c_str(), &start)) continue;
    State.UnfinishedRunMarks.push_back(mark);
    in_the_future = in_the_future || start > now;
    if (earliest == 0 || start < earliest) earliest = start;
  }
  if (in_the_future) {
    uint64_t last_ended = 0;
    const bool known = ReadTimeMark(root, kFinishedMark, &last_ended) && last_ended <= now;
    earliest = known && last_ended != 0 ? last_ended : 1;
    ReportNote(root_path, known ? u"an unfinished run's mark lies in the future (the clock was "
                                  u"set back): every copy changed since " +
                                      UtcTimeText(last_ended) + u" is copied again"
                                : u"an unfinished run's mark lies in the future (the clock was "
                                  u"set back): every copy that a rerun would skip is compared "
                                  u"again, whatever its times say");
  }
  if (earliest != 0) State.UnfinishedRunStart = earliest;
  return true;
}

}  // namespace

namespace {

// What the run carries, as the root records it: one word for each, in a
// fixed order.
std::string CarriedSet() {
  std::string set = "data";
  auto add = [&set](bool carried, const char* word) {
    if (carried) set = set + ' ' + word;
  };
  add(Settings.SecurityDescriptor, "security");
  add(Settings.Attributes, "attributes");
  add(State.KeepLinks, "links");
  add(Settings.HardLinks, "hardlinks");
  add(Settings.Streams, "streams");
  add(Settings.Specials, "specials");
  return set;
}

// Whether every word of `wanted` is in `recorded`.
bool Covers(const std::string& recorded, const std::string& wanted) {
  const std::string padded = ' ' + recorded + ' ';
  for (size_t at = 0; at < wanted.size();) {
    size_t end = wanted.find(' ', at);
    if (end == std::string::npos) end = wanted.size();
    if (padded.find(' ' + wanted.substr(at, end - at) + ' ') == std::string::npos) return false;
    at = end + 1;
  }
  return true;
}


}  // namespace

namespace {

// The root the run's mark goes on, once the run first changes a name there.
HANDLE g_mark_root = INVALID_HANDLE_VALUE;
std::u16string g_mark_root_path;
uint64_t g_run_start = 0;
// Whether the root keeps marks: this run's is made when needed.
bool g_marks_kept = false;

// Each run keeps a mark of its own and holds its lock while it lives, so
// that runs on one destination tell a live run from one that was cut, and
// none removes another's. Returns 0, or the code every change of a name
// then fails with (reported here): the walk writes nothing unmarked.
DWORD WriteRunMark() {
  State.RunMarkName = OwnRunMarkName(g_run_start);
  if (!WriteTimeMark(g_mark_root, State.RunMarkName.c_str(), g_run_start)) {
    const DWORD code = Os().GetLastError();
    // A file system that keeps no marks: a crash there is repaired by the
    // size and time rules alone.
    if (code == ERROR_NOT_SUPPORTED) return 0;
    ReportWin32Error(g_mark_root_path, u"CopyOneDirectory:SetFileAttributes(DESTINATION-DIR)",
                     code);
    return code;
  }
  if (Os().LockDirectoryMark != nullptr) {
    State.RunMarkLock = Os().LockDirectoryMark(g_mark_root, State.RunMarkName.c_str());
  }
  if (!Os().FlushFileBuffers(g_mark_root)) {
    const DWORD code = Os().GetLastError();
    ReportWin32Error(g_mark_root_path, u"CopyOneDirectory:FlushFileBuffers(DESTINATION-DIR)",
                     code);
    // The mark stays for the next run, the lock goes.
    ReleaseRunMarkLock();
    return code;
  }
  State.RunMarked = true;
  return 0;
}

}  // namespace

void LearnLastEndedRun(HANDLE root) {
  State.CompareSourcesSince = UINT64_MAX;
  State.CompareCopiesSince = UINT64_MAX;
  State.ComparedSinceRecord = false;
  if (Os().GetDirectoryMark == nullptr) return;
  uint64_t began = 0;
  uint64_t ended = 0;
  const bool known = ReadTimeMark(root, kFinishedMark, &began) &&
                     ReadTimeMark(root, kEndedMark, &ended) && began != 0 && ended != 0;
  if (!known && Os().GetLastError() == ERROR_NOT_SUPPORTED) return;  // no marks kept here
  char recorded[128];
  DWORD returned = 0;
  const bool has_set =
      Os().GetDirectoryMark(root, kCarriedMark, recorded, sizeof recorded, &returned) != 0;
  if (!known || !has_set || !Covers(std::string(recorded, returned), CarriedSet())) {
    State.CompareSourcesSince = 1;
    State.CompareCopiesSince = 1;
    return;
  }
  State.CompareSourcesSince = began;
  State.CompareCopiesSince = ended;
}

bool MarkRunStarted(HANDLE root, const std::u16string& root_path) {
  g_marks_kept = false;
  if (WritesNothing()) return true;
  if (Os().FlushVolume != nullptr && !Os().FlushVolume(root, 1)) State.FlushEachFile = true;
  if (Os().SetDirectoryMark == nullptr) return true;
  FILETIME now_time;
  Os().GetSystemTimeAsFileTime(&now_time);
  g_run_start = FileTimeTicks(now_time);
  bool readable = false;
  if (!FindUnfinishedRuns(root, root_path, g_run_start, &readable)) return false;
  g_marks_kept = readable;
  g_mark_root = root;
  g_mark_root_path = root_path;
  // A run that repairs after a cut one is marked at once; any other only
  // once it changes a name: a night with nothing to do writes nothing.
  if (State.UnfinishedRunMarks.empty()) {
    HoldFirstNameChange(&WriteRunMark);
    return true;
  }
  return WriteRunMark() == 0;
}

bool MayHoldLeftovers() {
  return !(State.RunMarked || g_marks_kept) || !State.UnfinishedRunMarks.empty();
}

// A file system stamps changes with a coarse clock (Linux: the timer tick,
// milliseconds behind the clock a run reads its start from), so what a run
// changed in its first moments may carry a time before its start: changes
// up to two seconds before it count as its own. At worst a few copies more
// are compared again.
bool ChangedInUnfinishedRun(HANDLE destination) {
  constexpr uint64_t kCoarseClockTicks = 2 * kFileTimeTicksPerSecond;
  FILETIME change;
  return State.UnfinishedRunStart != 0 && Os().GetChangeTime != nullptr &&
         Os().GetChangeTime(destination, &change) &&
         FileTimeTicks(change) + kCoarseClockTicks >= State.UnfinishedRunStart;
}

namespace {

// Everything the run wrote is durable: its mark goes. Where it ended with
// nothing left undone, what the unfinished runs it found may have cut is
// repaired too: their marks go (unless such a run is live again), and the
// root keeps this run's start as the last ended run's. So does a run that
// changed no name but times or security (never marked): else every later
// night would compare again what it changed. A run that wrote nothing
// records it only where it compared copies for want of a record (every
// copy, or those changed since the record), so that the next night need
// not. What changed here is made durable, so that a rerun after a power
// cut finds none of it undone.
bool EndRun(HANDLE root, const std::u16string& path) {
  const bool whole = Counters.ErrorCount == 0 && !StopRequested();
  const bool marked = State.RunMarked;
  const bool wrote = marked || ChangesPassed() != 0;
  bool done = true;
  bool changed = false;
  auto report = [&] {
    ReportWin32Error(path, u"CopyOneDirectory:SetFileAttributes(DESTINATION-DIR)",
                     Os().GetLastError());
    done = false;
  };
  auto remove = [&](const std::u16string& mark) {
    changed = true;
    if (!Os().SetDirectoryMark(root, mark.c_str(), nullptr, 0)) report();
  };
  if (marked) {
    // The lock goes first: a stream held open cannot be removed (Windows).
    ReleaseRunMarkLock();
    remove(State.RunMarkName);
  }
  if (whole) {
    for (const std::u16string& mark : State.UnfinishedRunMarks) {
      if (!IsLiveRun(root, mark)) remove(mark);
    }
  }
  if (whole && (wrote || State.CompareSourcesSince == 1 || State.ComparedSinceRecord)) {
    FILETIME now;
    Os().GetSystemTimeAsFileTime(&now);
    const std::string carried = CarriedSet();
    changed = true;
    if (!(WriteTimeMark(root, kFinishedMark, g_run_start) &&
          WriteTimeMark(root, kEndedMark, FileTimeTicks(now)) &&
          Os().SetDirectoryMark(root, kCarriedMark, carried.data(),
                                static_cast<DWORD>(carried.size())))) {
      // Unmarked, the root may turn out to keep no marks after all.
      if (marked || Os().GetLastError() != ERROR_NOT_SUPPORTED) report();
    }
  }
  if (changed && !Os().FlushFileBuffers(root)) {
    ReportWin32Error(path, u"CopyOneDirectory:FlushFileBuffers(DESTINATION-DIR)",
                     Os().GetLastError());
    return false;
  }
  return done;
}

}  // namespace

bool MakeDurable(HANDLE directory, const std::u16string& path, bool root, bool changed) {
  if (WritesNothing()) return true;
  if (changed && Os().FlushVolume != nullptr && !State.FlushEachFile &&
      !Os().FlushVolume(directory, 0)) {
    ReportWin32Error(path, u"CopyOneDirectory:FlushFileBuffers(DESTINATION-DIR)",
                     Os().GetLastError());
    // What the run wrote may not be on disk: its mark stays for the next
    // run to repair after, its lock goes with the run.
    if (root) ReleaseRunMarkLock();
    return false;
  }
  if (!root || !(State.RunMarked || g_marks_kept)) return true;
  g_marks_kept = false;
  g_mark_root = INVALID_HANDLE_VALUE;
  return EndRun(directory, path);
}

}  // namespace vx
