#include "progress.h"

#include <algorithm>
#include <deque>
#include <string>

#include "../platform/platform.h"
#include "books.h"
#include "report.h"
#include "sink.h"
#include "text.h"

namespace vx {

namespace {

constexpr uint64_t kRedrawTicks = kFileTimeTicksPerSecond / 4;
// Rates are taken over this much of the recent past: long enough to smooth
// one large file's end, short enough to follow a change from large files to
// small ones.
constexpr uint64_t kRateWindowTicks = 5 * kFileTimeTicksPerSecond;
constexpr DWORD kDefaultColumns = 80;

struct Sample {
  uint64_t ticks;
  uint64_t files_done;
  uint64_t bytes_moved;  // the run's byte count: what was read and written
  uint64_t bytes_done;   // of the files met, the bytes done with
};

struct Progress {
  bool on = false;
  bool output_on_terminal = false;  // standard output shows on a terminal too
  HANDLE out = nullptr;
  uint64_t last_drawn = 0;
  uint64_t files_met = 0;
  uint64_t files_done = 0;
  uint64_t bytes_met = 0;
  uint64_t bytes_settled = 0;  // sizes of the files done
  // The bytes done as last shown: with workers the current file's share is
  // one worker's while another's is being settled, so what is shown never
  // goes back (nor wraps the rates taken from it).
  uint64_t bytes_done_shown = 0;
  bool all_met = false;
  uint64_t files_counted = 0;
  uint64_t bytes_counted = 0;
  bool all_counted = false;
  std::deque<Sample> samples;  // oldest first, the last kRateWindowTicks
  std::u16string current_path;
  uint64_t current_copied = 0;
  uint64_t current_size = 0;
  std::u16string shown;  // what the terminal shows now
  bool hidden = false;   // erased for a console line
};
Progress g_progress;

uint64_t Now() {
  FILETIME now;
  Os().GetSystemTimeAsFileTime(&now);
  return FileTimeTicks(now);
}

void WriteRaw(std::u16string_view text) {
  const std::string bytes = SingleByteText(text);
  DWORD written = 0;
  Os().WriteFile(g_progress.out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Writes the text over the line drawn before, padded to cover all of it.
void Draw(std::u16string text) {
  std::u16string out = u"\r" + text;
  if (text.size() < g_progress.shown.size()) {
    out.append(g_progress.shown.size() - text.size(), u' ');
    out.append(u"\r" + text);
  }
  WriteRaw(out);
  g_progress.shown = std::move(text);
}

// Blanks the line and leaves the cursor at its start.
void Erase() {
  if (g_progress.shown.empty()) return;
  WriteRaw(u"\r" + std::u16string(g_progress.shown.size(), u' ') + u"\r");
  g_progress.shown.clear();
}

// The columns a line may fill: one less than the terminal shows, so that
// the cursor never wraps to a line of its own.
size_t UsableColumns() {
  DWORD columns = kDefaultColumns;
  if (Os().GetTerminalColumns == nullptr || !Os().GetTerminalColumns(g_progress.out, &columns) ||
      columns < 2) {
    columns = kDefaultColumns;
  }
  return columns - 1;
}

std::u16string Bytes(uint64_t bytes) {
  static const char16_t* const kUnits[] = {u" KB", u" MB", u" GB", u" TB"};
  if (bytes < 1024) return UnsignedDecimal(bytes) + u" B";
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  return TwoDecimals(value) + kUnits[unit];
}

// h:mm:ss
std::u16string Duration(uint64_t seconds) {
  return UnsignedDecimal(seconds / 3600) + u":" + Decimal(static_cast<int64_t>(seconds / 60 % 60), 2) +
         u":" + Decimal(static_cast<int64_t>(seconds % 60), 2);
}

// The last component of a path, control characters shown as dots so that
// nothing in a name can move the cursor.
std::u16string ShownName(std::u16string_view path) {
  const size_t cut = path.find_last_of(kPathSeparator);
  std::u16string name(cut == std::u16string_view::npos ? path : path.substr(cut + 1));
  for (char16_t& unit : name) {
    if (unit < 0x20 || (unit >= 0x7F && unit < 0xA0) || unit > 0xFF) unit = u'.';
  }
  return name;
}

// The status text for `columns` columns: the counts first (with their
// percents once the whole is known, else "counting"), then the time left,
// the rates and the current file, each left out where it does not fit; the
// file's name loses its start first.
std::u16string StatusText(const Sample& now, size_t columns) {
  const Progress& p = g_progress;
  // What is to be done: what the walk met, or the count where it found
  // more; until one of them has seen the whole tree, a lower bound.
  const bool total_known = p.all_met || p.all_counted;
  const uint64_t files_total = std::max(p.files_met, p.files_counted);
  const uint64_t bytes_total = std::max(p.bytes_met, p.bytes_counted);
  auto percent = [](uint64_t done, uint64_t total) {
    return u" (" + UnsignedDecimal(total == 0 ? 100 : std::min(done, total) * 100 / total) + u"%)";
  };
  const std::u16string files = u"files " + UnsignedDecimal(p.files_done) + u" of " +
                               UnsignedDecimal(files_total);
  const std::u16string bytes = Bytes(now.bytes_done) + u" of " + Bytes(bytes_total);
  std::u16string text = files + u", " + bytes;
  const std::u16string whole =
      total_known ? files + percent(p.files_done, files_total) + u", " + bytes +
                        percent(now.bytes_done, bytes_total)
                  : text + u", counting";
  if (whole.size() <= columns) text = whole;
  std::u16string more;  // the rates
  const Sample& oldest = p.samples.front();
  const uint64_t span = now.ticks - oldest.ticks;
  if (span >= kFileTimeTicksPerSecond / 2) {
    auto per_second = [&](uint64_t amount) {
      return static_cast<double>(amount) * kFileTimeTicksPerSecond / static_cast<double>(span);
    };
    const double files_rate = per_second(now.files_done - oldest.files_done);
    const double done_rate = per_second(now.bytes_done - oldest.bytes_done);
    // The time left: the bytes not yet done at the pace the last seconds
    // went through bytes (copied or skipped), or the files left at the last
    // seconds' file rate, whichever is longer (a run of empty files moves
    // no bytes).
    const uint64_t bytes_left = bytes_total - std::min(bytes_total, now.bytes_done);
    const uint64_t files_left = files_total - std::min(files_total, p.files_done);
    double seconds_left = -1;
    if (bytes_left > 0 && done_rate > 0) seconds_left = static_cast<double>(bytes_left) / done_rate;
    if (files_rate > 0) {
      seconds_left = std::max(seconds_left, static_cast<double>(files_left) / files_rate);
    }
    // The time left comes first, so that a narrow line keeps it.
    if (total_known && seconds_left >= 0) {
      const std::u16string left =
          u", " + Duration(static_cast<uint64_t>(seconds_left + 0.5)) + u" left";
      if (text.size() + left.size() <= columns) text += left;
    }
    more += u", " + UnsignedDecimal(static_cast<uint64_t>(files_rate + 0.5)) + u" files/s, " +
            Bytes(static_cast<uint64_t>(per_second(now.bytes_moved - oldest.bytes_moved))) +
            u"/s";
  }
  if (text.size() + more.size() <= columns) text += more;
  if (p.current_size > 0 && !p.current_path.empty()) {
    const std::u16string percent =
        u" " + UnsignedDecimal(p.current_copied * 100 / p.current_size) + u"%";
    std::u16string name = ShownName(p.current_path);
    const size_t used = text.size() + 2 + percent.size();
    const size_t room = columns > used ? columns - used : 0;
    if (name.size() > room) name.erase(0, name.size() - room);
    if (!name.empty()) text += u", " + name + percent;
  }
  if (text.size() > columns) text.resize(columns);
  return text;
}

// Draws the line, at most four times a second.
void Redraw() {
  Progress& p = g_progress;
  if (p.hidden) return;
  const uint64_t ticks = Now();
  if (p.last_drawn != 0 && ticks - p.last_drawn < kRedrawTicks) return;
  p.last_drawn = ticks;
  p.bytes_done_shown = std::max(p.bytes_done_shown, p.bytes_settled + p.current_copied);
  const Sample now{ticks, p.files_done, Counters.ByteCount, p.bytes_done_shown};
  while (p.samples.size() > 1 && ticks - p.samples[1].ticks >= kRateWindowTicks) {
    p.samples.pop_front();
  }
  if (p.samples.empty()) p.samples.push_back(now);
  Draw(StatusText(now, UsableColumns()));
  p.samples.push_back(now);
}

// The standard stream `which`, where it is a character device.
HANDLE TerminalOf(DWORD which) {
  HANDLE stream = Os().GetStdHandle(which);
  const bool terminal = stream != nullptr && stream != INVALID_HANDLE_VALUE &&
                        Os().GetFileType(stream) == FILE_TYPE_CHAR;
  return terminal ? stream : nullptr;
}

}  // namespace

void StartProgress() {
  g_progress = Progress{};
  if (ReportedSettings.Silent) return;
  g_progress.out = TerminalOf(STD_ERROR_HANDLE);
  g_progress.on = g_progress.out != nullptr;
  g_progress.output_on_terminal = g_progress.on && TerminalOf(STD_OUTPUT_HANDLE) != nullptr;
}

// `on` is set before the walk and its workers start and cleared after they
// end; the rest is kept under the books' lock, with the counters it shows.
void NoteFileMet(std::u16string_view path, uint64_t size) {
  if (!g_progress.on) return;
  BooksGuard books;
  ++g_progress.files_met;
  g_progress.bytes_met += size;
  g_progress.current_path = path;
  g_progress.current_copied = 0;
  g_progress.current_size = size;
  Redraw();
}

void NoteFileDone(uint64_t size) {
  if (!g_progress.on) return;
  BooksGuard books;
  ++g_progress.files_done;
  g_progress.bytes_settled += size;
  g_progress.current_copied = 0;
  Redraw();
}

void NoteAllMet() {
  if (!g_progress.on) return;
  BooksGuard books;
  g_progress.all_met = true;
}

bool ProgressShown() {
  return g_progress.on;
}

void NoteCounted(uint64_t files, uint64_t bytes, bool whole) {
  if (!g_progress.on) return;
  BooksGuard books;
  g_progress.files_counted = files;
  g_progress.bytes_counted = bytes;
  g_progress.all_counted = whole;
}

void ShowProgress(std::u16string_view path, uint64_t copied, uint64_t size) {
  if (!g_progress.on) return;
  BooksGuard books;
  g_progress.current_path = path;
  g_progress.current_copied = copied;
  g_progress.current_size = size;
  Redraw();
}

void EndProgress() {
  if (g_progress.on) Erase();
  g_progress = Progress{};
}

// Called with the books' lock held, as every console line is written.
ProgressAside::ProgressAside(bool to_standard_error, std::u16string_view line) {
  Progress& p = g_progress;
  if (!p.on || !(to_standard_error || p.output_on_terminal)) return;
  line_ends_ = !line.empty() && line.back() == u'\n';
  hidden_ = true;
  if (p.hidden) return;
  Erase();
  p.hidden = true;
}

// The line comes back at the next draw that is due, so that a run of
// console lines costs no more draws than a quiet run.
ProgressAside::~ProgressAside() {
  if (!hidden_ || !line_ends_) return;
  g_progress.hidden = false;
  Redraw();
}

}  // namespace vx
