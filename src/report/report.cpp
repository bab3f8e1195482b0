#include "report.h"

#include <atomic>
#include <iterator>
#include <mutex>
#include <string>

#include "books.h"
#include "json_log.h"
#include "progress.h"
#include "text.h"

namespace vx {

RunCounters Counters;

namespace {
std::recursive_mutex g_books_lock;
// How many reasons there are for other threads to write the books; changed
// only while no such thread runs, so a thread reads it unlocked.
std::atomic<int> g_books_shared{0};
}  // namespace

BooksGuard::BooksGuard() : locked_(g_books_shared.load(std::memory_order_relaxed) > 0) {
  if (locked_) g_books_lock.lock();
}

BooksGuard::~BooksGuard() {
  if (locked_) g_books_lock.unlock();
}

void BeginSharedBooks() {
  g_books_shared.fetch_add(1, std::memory_order_relaxed);
}

void EndSharedBooks() {
  g_books_shared.fetch_sub(1, std::memory_order_relaxed);
}

namespace {
thread_local FileTry t_try;
thread_local MetFile t_file;
}  // namespace

FileTry& CurrentTry() {
  return t_try;
}

void BeginTry(bool may_retry) {
  t_try.Clear(may_retry);
}

void UndoTry() {
  BooksGuard books;
  const RunCounters& counted = t_try.counted;
  Counters.NewCount -= counted.NewCount;
  Counters.NewerCount -= counted.NewerCount;
  Counters.OverwrittenCount -= counted.OverwrittenCount;
  Counters.ByteCount -= counted.ByteCount;
  t_try.counted = RunCounters{};
}

void CountDecision(int32_t RunCounters::*counter) {
  BooksGuard books;
  ++(Counters.*counter);
  ++(t_try.counted.*counter);
}

void CountBytes(uint64_t bytes) {
  BooksGuard books;
  Counters.ByteCount += bytes;
  t_try.counted.ByteCount += bytes;
}

namespace {
// A standard stream as a sink, line by line where it is a character device
// or `always_by_line`, else in blocks; closed where there is none.
Sink StandardStream(DWORD which, bool always_by_line) {
  Sink sink;
  HANDLE out = Os().GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return sink;
  const bool by_line = always_by_line || Os().GetFileType(out) == FILE_TYPE_CHAR;
  sink.Attach(out, by_line ? Sink::Delivery::kEveryLine : Sink::Delivery::kBlocks, false);
  return sink;
}
}  // namespace

// Attached on first use.
Sink& Console() {
  static Sink console = StandardStream(STD_OUTPUT_HANDLE, false);
  return console;
}

// Hints are few and read as they come.
Sink& Hints() {
  static Sink hints = StandardStream(STD_ERROR_HANDLE, true);
  return hints;
}

void WriteHint(std::u16string_view line) {
  BooksGuard books;
  Console().Flush();
  const std::u16string hint = u"velmox: " + std::u16string(line) + u"\n";
  ProgressAside aside(true, hint);
  Hints().Write(hint);
  Hints().Flush();
}

namespace {
std::u16string g_last_line;

void NoteLastLine(std::u16string_view line) {
  while (!line.empty() && (line.back() == u'\n' || line.back() == u'\r')) line.remove_suffix(1);
  if (!line.empty()) g_last_line.assign(line);
}
}  // namespace

void WriteConsole(std::u16string_view line) {
  BooksGuard books;
  ProgressAside aside(false, line);
  Console().Write(line);
  NoteLastLine(line);
}

std::u16string LastLineWritten() {
  BooksGuard books;
  return g_last_line;
}

void WriteConsoleUnlessSilent(std::u16string_view line) {
  if (!ReportedSettings.Silent) WriteConsole(line);
}

namespace {

// Progress lines: console unless /Silent, and the log.
void WriteProgress(std::u16string_view line) {
  WriteConsoleUnlessSilent(line);
  Sinks.Log.Write(line);
}

// ERR lines: console unless /Silent, the log, and the error log flushed at
// once so another program reading it finds the whole line.
void WriteErrorLine(std::u16string_view line) {
  WriteProgress(line);
  NoteLastLine(line);
  Sinks.ErrorLog.Write(line);
  Sinks.ErrorLog.Flush();
}

std::u16string ErrPrefix(std::u16string_view subject) {
  std::u16string line = u"ERR  ";
  line += Decimal(Counters.ErrorCount, 6);
  line += u": ";
  line += ShownPath(subject);
  line += u": ";
  return line;
}

// The FILE line, with the decision at its end under /List.
std::u16string FileLine(const MetFile& file, std::u16string_view path,
                        std::u16string_view decision) {
  std::u16string line = u"FILE " + Decimal(file.number, 6) + u": " + ShownPath(path) + u" (" +
                        UnsignedDecimal(file.size >> 10) + u" KB)";
  if (!decision.empty()) line += u" " + std::u16string(decision);
  return line + u"\n";
}

// What the current try of the thread's file decided so far.
std::u16string_view DecisionSoFar() {
  using namespace std::string_view_literals;
  if (t_file.differs) return u"differs"sv;
  if (ReportedSettings.Verify) return u"same"sv;
  if (t_try.counted.NewCount > 0) return u"new"sv;
  if (t_try.counted.NewerCount > 0) return u"newer"sv;
  if (t_try.counted.OverwrittenCount > 0) return u"overwritten"sv;
  return u"skipped"sv;
}

// Under /List a FILE line waits for its decision; any other line of its
// file comes after it, so the line is written first, with what is known.
void WritePendingFileLine(std::u16string_view decision) {
  if (!t_file.line_pending) return;
  t_file.line_pending = false;
  WriteProgress(FileLine(t_file, t_file.path, decision));
}

// An ERR or WAIT line's record in the JSON log.
void JsonFailure(std::string_view kind, int32_t number, std::u16string_view subject,
                 std::u16string_view context, DWORD code, std::u16string_view message) {
  if (!JsonLogOpen()) return;
  JsonRecord(kind)
      .Number("number", number)
      .Text("path", subject)
      .Text("context", context)
      .Number("code", static_cast<int32_t>(code))
      .Text("message", message)
      .Write();
}

}  // namespace

// The system's text for a code, cut at its first line break. A lookup that
// fails leaves the text empty.
std::u16string SystemMessage(DWORD code) {
  char16_t* text = nullptr;
  std::u16string message;
  const DWORD length =
      Os().FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                          code, 0x400, reinterpret_cast<char16_t*>(&text), 0, nullptr);
  if (length != 0 && text != nullptr) {
    message.assign(text, length);
    size_t line_break = message.find_first_of(u"\r\n");
    if (line_break != std::u16string::npos) message.resize(line_break);
  }
  if (text != nullptr) Os().LocalFree(text);
  return message;
}

bool IsTransient(DWORD code) {
  switch (code) {
    case 32:    // ERROR_SHARING_VIOLATION
    case 33:    // ERROR_LOCK_VIOLATION
    case 53:    // ERROR_BAD_NETPATH
    case 59:    // ERROR_UNEXP_NET_ERR
    case 64:    // ERROR_NETNAME_DELETED
    case 121:   // ERROR_SEM_TIMEOUT
    case 170:   // ERROR_BUSY
    case 1231:  // ERROR_NETWORK_UNREACHABLE
    case 1236:  // ERROR_CONNECTION_ABORTED
      return true;
    default:
      return false;
  }
}

namespace {

// With /Utf8, ", EEXIST: File exists" beside a code where the system names
// the error behind it.
std::u16string NativeErrorText(DWORD code) {
  if (!TextIsUtf8() || Os().DescribeNativeError == nullptr) return {};
  char16_t text[160];
  const DWORD units = Os().DescribeNativeError(code, text, std::size(text));
  return units == 0 ? std::u16string() : u", " + std::u16string(text, units);
}

}  // namespace

void ReportWin32Error(std::u16string_view subject, std::u16string_view context, DWORD code) {
  BooksGuard books;
  const bool wait = t_try.may_retry && !t_try.failure_pending && IsTransient(code);
  if (wait) {
    ++Counters.RetryCount;
    t_try.failure_pending = true;
    t_try.subject = subject;
    t_try.context = context;
    t_try.code = code;
  } else {
    ++Counters.ErrorCount;
    WritePendingFileLine(u"failed");
  }
  t_file.code = code;
  t_file.context = context;
  const std::u16string message = SystemMessage(code);
  JsonFailure(wait ? "retry" : "error", wait ? Counters.RetryCount : Counters.ErrorCount, subject,
              context, code, message);
  std::u16string line =
      wait ? u"WAIT " + Decimal(Counters.RetryCount, 6) + u": " + ShownPath(subject) + u": "
           : ErrPrefix(subject);
  line += message;
  line += u" at ";
  line += context;
  line += u" (";
  line += Decimal(static_cast<int32_t>(code));
  line += NativeErrorText(code);
  line += u")\n";
  if (wait) {
    WriteProgress(line);
  } else {
    WriteErrorLine(line);
  }
}

void AnnounceRemoval(std::u16string_view path) {
  BooksGuard books;
  ++Counters.DeletedCount;
  // A removal while a file is being decided clears its name for it.
  WritePendingFileLine(u"new");
  JsonRecord("removal")
      .Number("number", Counters.DeletedCount)
      .Text("path", path)
      .Text("decision", u"removed")
      .Write();
  WriteProgress(u"DEL  " + Decimal(Counters.DeletedCount, 6) + u": " + ShownPath(path) + u"\n");
}

void ReportNote(std::u16string_view subject, std::u16string_view text) {
  BooksGuard books;
  ++Counters.NoteCount;
  WritePendingFileLine(DecisionSoFar());
  JsonRecord("note")
      .Number("number", Counters.NoteCount)
      .Text("path", subject)
      .Text("text", text)
      .Write();
  WriteProgress(u"NOTE " + Decimal(Counters.NoteCount, 6) + u": " + ShownPath(subject) + u": " +
                std::u16string(text) + u"\n");
}

void ReportNtStatus(std::u16string_view subject, std::u16string_view context, NTSTATUS status) {
  BooksGuard books;
  ++Counters.ErrorCount;
  WritePendingFileLine(u"failed");
  const DWORD looked_up = Sinks.RtlNtStatusToDosError(status);
  const std::u16string message = SystemMessage(looked_up);
  t_file.code = looked_up;
  t_file.context = context;
  if (JsonLogOpen()) {
    JsonRecord("error")
        .Number("number", Counters.ErrorCount)
        .Text("path", subject)
        .Text("context", context)
        .Number("code", static_cast<int32_t>(looked_up))
        .Text("status", u"0x" + UpperHex(static_cast<uint32_t>(status)))
        .Text("message", message)
        .Write();
  }
  const std::u16string head = ErrPrefix(subject) + message + u" at " + std::u16string(context) +
                              u" (NT:0x" + UpperHex(static_cast<uint32_t>(status)) + u",DOS:";
  // Each sink's line carries the code the conversion gives right before it
  // is written.
  auto line = [&] {
    return head + Decimal(static_cast<int32_t>(Sinks.RtlNtStatusToDosError(status))) + u")\n";
  };
  if (!ReportedSettings.Silent) {
    const std::u16string console_line = line();
    ProgressAside aside(false, console_line);
    Console().Write(console_line);
  }
  if (Sinks.Log.IsOpen()) Sinks.Log.Write(line());
  if (Sinks.ErrorLog.IsOpen()) {
    Sinks.ErrorLog.Write(line());
    Sinks.ErrorLog.Flush();
  }
}

void ReportShortWrite(std::u16string_view destination, DWORD bytes_read, DWORD bytes_written) {
  BooksGuard books;
  ++Counters.ErrorCount;
  WritePendingFileLine(u"failed");
  JsonRecord("error")
      .Number("number", Counters.ErrorCount)
      .Text("path", destination)
      .Text("context", u"WriteFile")
      .Unsigned("read", bytes_read)
      .Unsigned("written", bytes_written)
      .Write();
  WriteErrorLine(ErrPrefix(destination) + UnsignedDecimal(bytes_read) + u" bytes read and " +
                 UnsignedDecimal(bytes_written) + u" bytes written\n");
}

namespace {
// Whether a progress line has anywhere to go; a silent run without a log
// only counts.
bool ProgressWanted() {
  return !ReportedSettings.Silent || Sinks.Log.IsOpen();
}
}  // namespace

void AnnounceDirectory(std::u16string_view path) {
  BooksGuard books;
  ++Counters.DirectoryCount;
  JsonRecord("directory").Number("number", Counters.DirectoryCount).Text("path", path).Write();
  if (!ProgressWanted()) return;
  WriteProgress(u"DIR  " + Decimal(Counters.DirectoryCount, 6) + u": " + ShownPath(path) + u"\n");
}

// Sizes of 2 TiB and more show their full KB figure rather than wrapping.
MetFile AnnounceFile(std::u16string_view path, uint64_t size_in_bytes) {
  BooksGuard books;
  ++Counters.FileCount;
  BeginTry(false);
  t_file.Clear();
  t_file.number = Counters.FileCount;
  // Only the JSON record and /List's late FILE line need the path again.
  if (ReportedSettings.List || JsonLogOpen()) t_file.path = path;
  t_file.size = size_in_bytes;
  NoteFileMet(path, size_in_bytes);
  if (ProgressWanted()) {
    if (ReportedSettings.List) {
      t_file.line_pending = true;
    } else {
      WriteProgress(FileLine(t_file, path, u""));
    }
  }
  return t_file;
}

void TakeOverFile(MetFile file) {
  t_file = std::move(file);
}

void SettleFile(int result) {
  {
    BooksGuard books;
    const std::u16string_view decision = result == 0 ? u"failed" : DecisionSoFar();
    WritePendingFileLine(decision);
    if (JsonLogOpen()) {
      JsonRecord record("file");
      record.Number("number", t_file.number)
          .Text("path", t_file.path)
          .Unsigned("size", t_file.size)
          .Text("decision", decision);
      if (result == 0 && t_file.code != 0) {
        record.Number("code", static_cast<int32_t>(t_file.code)).Text("context", t_file.context);
      }
      record.Write();
    }
    NoteFileDone(t_file.size);
    t_file.Clear();
  }
}

void NoteExcluded(std::u16string_view path, bool is_directory) {
  BooksGuard books;
  JsonRecord(is_directory ? "directory" : "file")
      .Text("path", path)
      .Text("decision", u"excluded")
      .Write();
}

void ReportDifference(std::u16string_view path, std::u16string_view text) {
  BooksGuard books;
  ++Counters.DifferenceCount;
  t_file.differs = true;
  JsonRecord("difference")
      .Number("number", Counters.DifferenceCount)
      .Text("path", path)
      .Text("text", text)
      .Write();
  WriteProgress(u"DIFF " + Decimal(Counters.DifferenceCount, 6) + u": " + ShownPath(path) + u": " +
                std::u16string(text) + u"\n");
}

}  // namespace vx
