// A status line on standard error while the run copies, where standard
// error is a terminal (a character device) and /Silent is not given: files
// and bytes done of those met so far, files and bytes per second over the
// last few seconds, the time left once the walk has met every entry, and
// the file being copied with its percent. It fits the terminal's width,
// asked at every redraw (so a resized window gets a line of its new width),
// and is redrawn at most four times a second. A console line written while
// it shows is kept off it: the status line is erased first and drawn again
// after. Nothing of it reaches standard output or the logs, and it is
// cleared before the summary.
#pragma once

#include <cstdint>
#include <string_view>

namespace vx {

// Decides, once per run, whether the line is shown.
void StartProgress();
// A file met by the walk, of `size` bytes.
void NoteFileMet(std::u16string_view path, uint64_t size);
// A file met is done: copied, skipped or failed; `size` as it was met.
void NoteFileDone(uint64_t size);
// The walk has listed the whole tree: what is met is all there is to do.
void NoteAllMet();
// `copied` of the current file's `size` bytes are in.
void ShowProgress(std::u16string_view path, uint64_t copied, uint64_t size);
// Clears the line.
void EndProgress();

// Keeps a console line off the status line while it lives: the status line
// is erased where the line goes to the same terminal, and drawn again once a
// whole line is out. `to_standard_error`: the line goes to standard error.
class ProgressAside {
 public:
  ProgressAside(bool to_standard_error, std::u16string_view line);
  ~ProgressAside();
  ProgressAside(const ProgressAside&) = delete;
  ProgressAside& operator=(const ProgressAside&) = delete;

 private:
  bool hidden_ = false;
  bool line_ends_ = false;
};

}  // namespace vx
