// A status line on standard error while the run copies, where standard
// error is a terminal (a character device) and /Silent is not given: files
// and bytes done of those to do, files and bytes per second over the last
// few seconds, and the file being copied with its percent. Those to do are
// the ones met so far, and "counting" is shown, until a count ahead of the
// walk or the walk itself has met them all; then the percent done and the
// time left are shown too. It fits the terminal's width, asked at every
// redraw (so a resized window gets a line of its new width), and is drawn
// at most four times a second, whatever is written between: a console line
// written while it shows erases it, and the next draw that is due brings it
// back. Nothing of it reaches standard output or the logs, and it is
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
// Whether the status line is drawn this run.
bool ProgressShown();
// A count ahead of the walk found `files` files of `bytes` bytes so far;
// `whole`: that is all there is.
void NoteCounted(uint64_t files, uint64_t bytes, bool whole);
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
