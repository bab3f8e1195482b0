#include "summary.h"

#include "../copy/copy_directory.h"
#include "../copy/replica/history.h"
#include "../platform/platform.h"
#include "../report/json_log.h"
#include "../report/progress.h"
#include "../report/report.h"
#include "../report/text.h"
#include "command_line.h"
#include "run_state.h"

namespace vx {

namespace {
constexpr float kBytesToMegabytes = 9.5367431640625e-07f;    // 2^-20
constexpr float kBytesToGigabytes = 9.313225746154785e-10f;  // 2^-30

// hh:mm:ss
std::u16string ElapsedText(int32_t elapsed) {
  return Decimal(elapsed / 3600, 2) + u":" + Decimal(elapsed % 3600 / 60, 2) + u":" +
         Decimal(elapsed % 3600 % 60, 2);
}
}  // namespace

int32_t CurrentTimeInSeconds() {
  FILETIME now;
  Os().GetSystemTimeAsFileTime(&now);
  const int64_t seconds =
      (static_cast<int64_t>(FileTimeTicks(now)) - kUnixEpochAsFileTime) / kFileTimeTicksPerSecond;
  return static_cast<int32_t>(seconds);
}

std::vector<std::u16string> SummaryLines(int32_t elapsed, bool for_log) {
  const uint64_t bytes = Counters.ByteCount;
  std::vector<std::u16string> lines = {
      u"\n" + std::u16string(kDashesLine),
      u"Directories    : " + Decimal(Counters.DirectoryCount) + u"\n",
      u"Files          : " + Decimal(Counters.FileCount) + u"\n",
      u"   -new        : " + Decimal(Counters.NewCount) + u"\n",
      u"   -newer      : " + Decimal(Counters.NewerCount) + u"\n",
      u"   -overwritten: " + Decimal(Counters.OverwrittenCount) + u"\n",
      u"Size (Byte)    : " + UnsignedDecimal(bytes) + u"\n",
      u"Size (KB)      : " + UnsignedDecimal(bytes >> 10) + u"\n",
      u"Size (MB)      : " + TwoDecimals(static_cast<double>(bytes) * kBytesToMegabytes) + u"\n",
      u"Size (GB)      : " + TwoDecimals(static_cast<double>(bytes) * kBytesToGigabytes) + u"\n",
  };
  // An extension's counter shows only when it is asked for, before Errors.
  auto errors_at = lines.begin() + 6;
  errors_at = lines.insert(errors_at, u"Errors         : " + Decimal(Counters.ErrorCount) + u"\n");
  if (Settings.RetryGiven) {
    errors_at =
        lines.insert(errors_at, u"Retries        : " + Decimal(Counters.RetryCount) + u"\n");
  }
  if (Settings.Mirror) {
    errors_at =
        lines.insert(errors_at, u"Deleted        : " + Decimal(Counters.DeletedCount) + u"\n");
  }
  if (Settings.Verify) {
    errors_at =
        lines.insert(errors_at, u"Differences    : " + Decimal(Counters.DifferenceCount) + u"\n");
  }
  if (Settings.HistoryDaysGiven) {
    lines.push_back(u"History (MB)   : " +
                    TwoDecimals(static_cast<double>(HistoryBytes()) * kBytesToMegabytes) + u"\n");
  }
  if (!for_log) lines.push_back(u"\n");
  lines.push_back(u"Elapsed time   : " + ElapsedText(elapsed) + u"\n");
  return lines;
}

namespace {

// The JSON log's last record: the summary's counts, start and end; for a
// run that ended before its walk, the message it ended with.
void WriteJsonSummary(const FILETIME& end, int32_t exit_code, std::u16string_view error = {}) {
  JsonRecord record("summary");
  record.Text("start", UtcTimeText(FileTimeTicks(State.StartTime)))
      .Text("end", UtcTimeText(FileTimeTicks(end)))
      .Number("directories", Counters.DirectoryCount)
      .Number("files", Counters.FileCount)
      .Number("new", Counters.NewCount)
      .Number("newer", Counters.NewerCount)
      .Number("overwritten", Counters.OverwrittenCount)
      .Unsigned("bytes", Counters.ByteCount)
      .Number("errors", Counters.ErrorCount);
  if (Settings.RetryGiven) record.Number("retries", Counters.RetryCount);
  if (Settings.Mirror) record.Number("deleted", Counters.DeletedCount);
  if (Settings.Verify) record.Number("differences", Counters.DifferenceCount);
  if (Settings.HistoryDaysGiven) record.Unsigned("history_bytes", HistoryBytes());
  record.Number("notes", Counters.NoteCount).Number("exit", exit_code);
  if (!error.empty()) record.Text("error", error);
  record.Write();
}

// With /SummaryLine, the run in one line on standard error, whatever
// /Silent says, for a service's journal: its counts, exit and time, and
// for a run that ended before its walk, the message it ended with.
void WriteSummaryLine(int32_t exit_code, int32_t elapsed, std::u16string_view error = {}) {
  if (!Settings.SummaryLine) return;
  std::u16string line = u"summary: directories " + Decimal(Counters.DirectoryCount) + u", files " +
                        Decimal(Counters.FileCount) + u" (new " + Decimal(Counters.NewCount) +
                        u", newer " + Decimal(Counters.NewerCount) + u", overwritten " +
                        Decimal(Counters.OverwrittenCount) + u"), bytes " +
                        UnsignedDecimal(Counters.ByteCount);
  if (Settings.Mirror) line += u", deleted " + Decimal(Counters.DeletedCount);
  if (Settings.Verify) line += u", differences " + Decimal(Counters.DifferenceCount);
  line += u", errors " + Decimal(Counters.ErrorCount) + u", exit " + Decimal(exit_code) +
          u", elapsed " + ElapsedText(elapsed);
  if (!error.empty()) line += u": " + std::u16string(error);
  WriteHint(line);
}

}  // namespace

void SummarizeFatalEnd(int32_t exit_code) {
  FILETIME end_time;
  Os().GetSystemTimeAsFileTime(&end_time);
  const std::u16string error = LastLineWritten();
  const uint64_t start = FileTimeTicks(State.StartTime);
  const uint64_t end = FileTimeTicks(end_time);
  WriteSummaryLine(exit_code,
                   start != 0 && end > start
                       ? static_cast<int32_t>((end - start) / kFileTimeTicksPerSecond)
                       : 0,
                   error);
  if (!JsonLogOpen()) return;
  WriteJsonSummary(end_time, exit_code, error);
  State.JsonLog.Close();
}

namespace {

// With /MaxChange: what a run would replace and remove, against the limit:
// "Run would replace 60 and remove 5 of 100 files, more than
// /MaxChange:50%". The files the replica holds are those the run met there
// and those it would remove.
std::u16string ChangeText(const RunCounters& plan, bool* over) {
  const int64_t replaced = int64_t{plan.NewerCount} + plan.OverwrittenCount;
  const int64_t removed = plan.DeletedCount;
  const int64_t held = int64_t{plan.FileCount} - plan.NewCount + plan.DeletedCount;
  const int64_t limit =
      Settings.MaxChangePercent ? held * Settings.MaxChange / 100 : int64_t{Settings.MaxChange};
  *over = replaced + removed > limit;
  return u"Run would replace " + Decimal(replaced) + u" and remove " + Decimal(removed) + u" of " +
         Decimal(held) + u" files, " + (*over ? u"more than" : u"within") + u" /MaxChange:" +
         Decimal(Settings.MaxChange) + (Settings.MaxChangePercent ? u"%" : u"");
}

}  // namespace

int32_t CopyRunAndSummarize() {
  WriteConsoleUnlessSilent(kDashesLine);
  // A run that would change more than /MaxChange: allows changes nothing:
  // it decides everything first.
  if (Settings.MaxChangeGiven && !WritesNothing() && Settings.AsOf == nullptr) {
    const RunCounters plan = PlanChanges(Settings.Source);
    bool over = false;
    const std::u16string text = ChangeText(plan, &over);
    if (over) {
      WriteConsole(text + u"; nothing changed.\n");
      CloseHistory(-1);
      Counters = plan;
      SummarizeFatalEnd(-1);
      return -1;
    }
  }
  // /AsOf: the history must know the time: a run began after it, and one
  // (the oldest kept) before.
  AsOfPlan as_of;
  if (Settings.AsOf != nullptr) {
    std::vector<ManifestRun> runs;
    const bool read = ReadManifests(Settings.History, &runs);
    if (!read || runs.empty() || Settings.AsOfTicks < runs.front().start) {
      WriteConsole(u"History " + ShownPath(Settings.History) + u" knows no tree as of " +
                   std::u16string(Settings.AsOf) + u", aborting.\n");
      SummarizeFatalEnd(-1);
      return -1;
    }
    as_of = DecideAsOf(runs, Settings.AsOfTicks);
  }
  const int32_t start = CurrentTimeInSeconds();
  StartProgress();
  if (Settings.AsOf != nullptr) {
    RestoreAsOf(as_of);
  } else {
    CopyOneDirectory(Settings.Source);
  }
  // After the walk, its gate gone: pruning the history is no change to the
  // replica.
  CloseHistory(Counters.ErrorCount + Counters.DifferenceCount);
  EndProgress();
  if (Settings.MaxChangeGiven && Settings.List) {
    bool over = false;
    WriteConsoleUnlessSilent(ChangeText(Counters, &over) + u".\n");
  }
  FILETIME end_time;
  Os().GetSystemTimeAsFileTime(&end_time);
  const int32_t end = CurrentTimeInSeconds();
  const int32_t elapsed =
      static_cast<int32_t>(static_cast<uint32_t>(end) - static_cast<uint32_t>(start));
  for (const std::u16string& line : SummaryLines(elapsed, false)) WriteConsoleUnlessSilent(line);
  if (State.Log.IsOpen()) {
    for (const std::u16string& line : SummaryLines(elapsed, true)) State.Log.Write(line);
    State.Log.Close();
  }
  State.ErrorLog.Close();
  // /Verify's differences count as failures: a damaged replica must not
  // pass for a good one.
  const int32_t exit_code = Counters.ErrorCount + Counters.DifferenceCount;
  WriteSummaryLine(exit_code, elapsed);
  WriteJsonSummary(end_time, exit_code);
  State.JsonLog.Close();
  return exit_code;
}

}  // namespace vx
