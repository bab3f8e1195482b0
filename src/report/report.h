// Error reports, progress lines and which sink each line goes to.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "../platform/platform.h"
#include "books.h"
#include "sink.h"

namespace vx {

// Standard output. Attached on first use: line by line when it is a
// character device, in 4,096-byte blocks when redirected.
Sink& Console();

// Standard error: hints for the operator, what to do about a mistake. They
// never reach the logs, so standard output and the logs keep their bytes.
Sink& Hints();
// One hint line, after what standard output holds so far.
void WriteHint(std::u16string_view line);

// The system's text for a code, cut at its first line break; empty where
// the lookup fails.
std::u16string SystemMessage(DWORD code);

// Lines that always reach the console: usage, parser and fatal messages,
// privilege failures.
void WriteConsole(std::u16string_view line);
// The last line written to the console or as an ERR, without its line end:
// what a run that ends before its walk says last (its fatal message).
std::u16string LastLineWritten();
// Lines that reach the console unless /Silent: the settings block, the
// summary, privilege progress.
void WriteConsoleUnlessSilent(std::u16string_view line);

// Every line and every counter goes through the books' lock while other
// threads may write them too, so that with workers copying files at once a
// line is written whole and its number follows the one written before it.
// It may be taken again by its holder (a line written while the status
// line is drawn). A run of one thread takes no lock per line.
class BooksGuard {
 public:
  BooksGuard();
  ~BooksGuard();
  BooksGuard(const BooksGuard&) = delete;
  BooksGuard& operator=(const BooksGuard&) = delete;

 private:
  bool locked_;
};
// A thread that writes the books besides the run's own (a worker, the
// count ahead) is begun after BeginSharedBooks and joined before
// EndSharedBooks, both called by the run's own thread.
void BeginSharedBooks();
void EndSharedBooks();

// Counts one decision on a file (new, newer, overwritten) or bytes moved,
// towards the counters and the current try of the calling thread's file.
void CountDecision(int32_t RunCounters::*counter);
void CountBytes(uint64_t bytes);

// A try of a file, with /Retry:. While one may follow (`may_retry`), the
// first transient failure of the try is a WAIT line instead of an ERR, to
// the console and the log only, kept and counted as a retry. Each thread
// has its own try.
struct FileTry {
  bool may_retry = false;
  bool failure_pending = false;
  std::u16string subject;
  std::u16string context;
  DWORD code = 0;
  RunCounters counted = {};  // what the try counted, undone when it is tried again
  // Back to a new try's state, the strings keeping their room (once a file).
  void Clear(bool retry_allowed) {
    may_retry = retry_allowed;
    failure_pending = false;
    subject.clear();
    context.clear();
    code = 0;
    counted = RunCounters{};
  }
};
FileTry& CurrentTry();
// Starts a try of a file; UndoTry takes back what the failed one counted.
void BeginTry(bool may_retry);
void UndoTry();

// Counts one error and writes its ERR line, with the system's message for
// the code, to the console (unless /Silent), the log and the error log;
// or, in a try that may be repeated, the WAIT line above.
void ReportWin32Error(std::u16string_view subject, std::u16string_view context, DWORD code);
// The same for an NT status, shown with the system error code it maps to.
void ReportNtStatus(std::u16string_view subject, std::u16string_view context, NTSTATUS status);
// Counts one error and writes the short-write ERR line.
void ReportShortWrite(std::u16string_view destination, DWORD bytes_read, DWORD bytes_written);

// Counts one removal (/Mirror) and writes its DEL line to the console
// (unless /Silent) and the log.
void AnnounceRemoval(std::u16string_view path);

// A NOTE line, to the console and the log: something the run leaves out
// by rule, not by failure (a volume that cannot keep what a copy would
// carry), said once where it is first met.
void ReportNote(std::u16string_view subject, std::u16string_view text);

// Whether a failure with `code` may pass if tried again a little later:
// a sharing or lock violation, a busy resource, a network that is
// reconnecting.
bool IsTransient(DWORD code);

// Counts a directory entered and writes its DIR line.
void AnnounceDirectory(std::u16string_view path);

// A file the walk announced and no copier has settled yet: its FILE line's
// number, path (kept where a JSON log or /List needs it) and listed size, and the last failure met on it. Each thread
// has its own; a worker takes over the walk's.
struct MetFile {
  int32_t number = 0;
  std::u16string path;
  uint64_t size = 0;
  DWORD code = 0;
  std::u16string context;
  bool line_pending = false;  // /List: the FILE line waits for its decision
  bool differs = false;       // /Verify found the copy unlike the source
  // Back to no file, the strings keeping their room (once a file).
  void Clear() {
    number = 0;
    path.clear();
    size = 0;
    code = 0;
    context.clear();
    line_pending = false;
    differs = false;
  }
};
// Counts a file met and writes its FILE line; under /List the line is
// written once the decision is known (SettleFile, or the next line of the
// same thread), with the decision at its end.
MetFile AnnounceFile(std::u16string_view path, uint64_t size_in_bytes);
void TakeOverFile(MetFile file);
// The file is done: its decision (new, newer, overwritten, skipped, or
// failed where `result` is 0) goes to the JSON log, and under /List to the
// end of its FILE line.
void SettleFile(int result);
// An entry /Exclude: leaves out, for the JSON log.
void NoteExcluded(std::u16string_view path, bool is_directory);
// /Verify: the file or directory at `path` differs between the two trees;
// counted and written as a DIFF line, to the console and the log.
void ReportDifference(std::u16string_view path, std::u16string_view text);

}  // namespace vx
