#include "progress.h"

#include <algorithm>
#include <string>

#include "../platform/platform.h"
#include "../run/run_state.h"
#include "report.h"
#include "sink.h"
#include "text.h"

namespace vx {

namespace {

constexpr uint64_t kRedrawTicks = kFileTimeTicksPerSecond / 4;
constexpr size_t kWidth = 79;  // a line that fits an 80-column terminal

struct Progress {
  bool on = false;
  HANDLE out = nullptr;
  uint64_t started = 0;
  uint64_t last_drawn = 0;
  uint64_t files_met = 0;
  uint64_t files_done = 0;
  uint64_t bytes_met = 0;
  size_t drawn_width = 0;
};
Progress g_progress;

uint64_t Now() {
  FILETIME now;
  Os().GetSystemTimeAsFileTime(&now);
  return FileTimeTicks(now);
}

std::u16string Megabytes(uint64_t bytes) {
  return TwoDecimals(static_cast<double>(bytes) / (1 << 20));
}

// Writes the text over the line drawn before, padded to cover all of it.
void Draw(std::u16string text) {
  const size_t width = text.size();
  if (width < g_progress.drawn_width) text.append(g_progress.drawn_width - width, u' ');
  const std::string bytes = SingleByteText(u"\r" + text);
  DWORD written = 0;
  Os().WriteFile(g_progress.out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  g_progress.drawn_width = width;
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

// The file at `path` is being copied, `copied` of its `size` bytes in.
void Redraw(std::u16string_view path, uint64_t copied, uint64_t size) {
  const uint64_t now = Now();
  if (g_progress.last_drawn != 0 && now - g_progress.last_drawn < kRedrawTicks) return;
  g_progress.last_drawn = now;
  const uint64_t files_done = g_progress.files_done;
  const uint64_t seconds_ticks = std::max<uint64_t>(now - g_progress.started, 1);
  const double rate = static_cast<double>(Counters.ByteCount) * kFileTimeTicksPerSecond /
                      static_cast<double>(seconds_ticks);
  std::u16string text = u"files " + UnsignedDecimal(files_done) + u" of " +
                        UnsignedDecimal(g_progress.files_met) + u", " +
                        Megabytes(Counters.ByteCount) + u" of " + Megabytes(g_progress.bytes_met) +
                        u" MB, " + Megabytes(static_cast<uint64_t>(rate)) + u" MB/s";
  if (size > 0) {
    const std::u16string percent = u" " + UnsignedDecimal(copied * 100 / size) + u"%";
    std::u16string name = ShownName(path);
    const size_t room =
        kWidth > text.size() + 2 + percent.size() ? kWidth - text.size() - 2 - percent.size() : 0;
    if (name.size() > room) name.erase(0, name.size() - room);
    if (!name.empty()) text += u", " + name + percent;
  }
  if (text.size() > kWidth) text.resize(kWidth);
  Draw(std::move(text));
}

}  // namespace

void StartProgress() {
  g_progress = Progress{};
  if (Settings.Silent) return;
  HANDLE out = Os().GetStdHandle(STD_ERROR_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || Os().GetFileType(out) != FILE_TYPE_CHAR) {
    return;
  }
  g_progress.on = true;
  g_progress.out = out;
  g_progress.started = Now();
}

// `on` is set before the walk and its workers start and cleared after they
// end; the rest is kept under the books' lock, with the counters it shows.
void NoteFileMet(std::u16string_view path, uint64_t size) {
  if (!g_progress.on) return;
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  ++g_progress.files_met;
  g_progress.bytes_met += size;
  Redraw(path, 0, size);
}

void NoteFileDone() {
  if (!g_progress.on) return;
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  ++g_progress.files_done;
}

void ShowProgress(std::u16string_view path, uint64_t copied, uint64_t size) {
  if (!g_progress.on) return;
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  Redraw(path, copied, size);
}

void EndProgress() {
  if (g_progress.on && g_progress.drawn_width > 0) {
    Draw(std::u16string());
    const std::string back = "\r";
    DWORD written = 0;
    Os().WriteFile(g_progress.out, back.data(), 1, &written, nullptr);
  }
  g_progress = Progress{};
}

}  // namespace vx
