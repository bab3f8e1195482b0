// A status line on standard error while the run copies, where standard
// error is a terminal (a character device) and /Silent is not given: files
// and bytes done of those met so far, the rate, and the file being copied
// with its percent. Redrawn at most four times a second; nothing of it
// reaches standard output or the logs, and it is cleared before the summary.
#pragma once

#include <cstdint>
#include <string_view>

namespace vx {

// Decides, once per run, whether the line is shown.
void StartProgress();
// A file met by the walk, of `size` bytes.
void NoteFileMet(std::u16string_view path, uint64_t size);
// A file met is done: copied, skipped or failed.
void NoteFileDone();
// `copied` of the current file's `size` bytes are in.
void ShowProgress(std::u16string_view path, uint64_t copied, uint64_t size);
// Clears the line.
void EndProgress();

}  // namespace vx
