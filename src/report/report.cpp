#include "report.h"

#include <string>

#include "../run/run_state.h"
#include "progress.h"
#include "text.h"

namespace vx {

std::recursive_mutex& BooksLock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {
thread_local FileTry t_try;
}  // namespace

FileTry& CurrentTry() {
  return t_try;
}

void BeginTry(bool may_retry) {
  t_try = FileTry{};
  t_try.may_retry = may_retry;
}

void UndoTry() {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  const RunCounters& counted = t_try.counted;
  Counters.NewCount -= counted.NewCount;
  Counters.NewerCount -= counted.NewerCount;
  Counters.OverwrittenCount -= counted.OverwrittenCount;
  Counters.ByteCount -= counted.ByteCount;
  t_try.counted = RunCounters{};
}

void CountDecision(int32_t RunCounters::*counter) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  ++(Counters.*counter);
  ++(t_try.counted.*counter);
}

void CountBytes(uint64_t bytes) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  Counters.ByteCount += bytes;
  t_try.counted.ByteCount += bytes;
}

namespace {
// Attaches a standard stream, line by line where it is a character device
// or `always_by_line`, else in blocks.
void AttachStandardStream(Sink& sink, DWORD which, bool always_by_line) {
  HANDLE out = Os().GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const bool by_line = always_by_line || Os().GetFileType(out) == FILE_TYPE_CHAR;
  sink.Attach(out, by_line ? Sink::Delivery::kEveryLine : Sink::Delivery::kBlocks, false);
}
}  // namespace

Sink& Console() {
  static Sink console;
  static bool attached = false;
  if (!attached) {
    attached = true;
    AttachStandardStream(console, STD_OUTPUT_HANDLE, false);
  }
  return console;
}

// Hints are few and read as they come.
Sink& Hints() {
  static Sink hints;
  static bool attached = false;
  if (!attached) {
    attached = true;
    AttachStandardStream(hints, STD_ERROR_HANDLE, true);
  }
  return hints;
}

void WriteHint(std::u16string_view line) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  Console().Flush();
  Hints().Write(u"velmox: " + std::u16string(line) + u"\n");
  Hints().Flush();
}

void WriteConsole(std::u16string_view line) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  Console().Write(line);
}

void WriteConsoleUnlessSilent(std::u16string_view line) {
  if (!Settings.Silent) WriteConsole(line);
}

namespace {

// Progress lines: console unless /Silent, and the log.
void WriteProgress(std::u16string_view line) {
  WriteConsoleUnlessSilent(line);
  State.Log.Write(line);
}

// ERR lines: console unless /Silent, the log, and the error log flushed at
// once so another program reading it finds the whole line.
void WriteErrorLine(std::u16string_view line) {
  WriteProgress(line);
  State.ErrorLog.Write(line);
  State.ErrorLog.Flush();
}

std::u16string ErrPrefix(std::u16string_view subject) {
  std::u16string line = u"ERR  ";
  line += Decimal(Counters.ErrorCount, 6);
  line += u": ";
  line += ShownPath(subject);
  line += u": ";
  return line;
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

void ReportWin32Error(std::u16string_view subject, std::u16string_view context, DWORD code) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  const bool wait = t_try.may_retry && !t_try.failure_pending && IsTransient(code);
  if (wait) {
    ++Counters.RetryCount;
    t_try.failure_pending = true;
    t_try.subject = subject;
    t_try.context = context;
    t_try.code = code;
  } else {
    ++Counters.ErrorCount;
  }
  std::u16string line =
      wait ? u"WAIT " + Decimal(Counters.RetryCount, 6) + u": " + ShownPath(subject) + u": "
           : ErrPrefix(subject);
  line += SystemMessage(code);
  line += u" at ";
  line += context;
  line += u" (";
  line += Decimal(static_cast<int32_t>(code));
  line += u")\n";
  if (wait) {
    WriteProgress(line);
  } else {
    WriteErrorLine(line);
  }
}

void AnnounceRemoval(std::u16string_view path) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  ++Counters.DeletedCount;
  WriteProgress(u"DEL  " + Decimal(Counters.DeletedCount, 6) + u": " + ShownPath(path) + u"\n");
}

void ReportNote(std::u16string_view subject, std::u16string_view text) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  ++Counters.NoteCount;
  WriteProgress(u"NOTE " + Decimal(Counters.NoteCount, 6) + u": " + ShownPath(subject) + u": " +
                std::u16string(text) + u"\n");
}

void ReportNtStatus(std::u16string_view subject, std::u16string_view context, NTSTATUS status) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  ++Counters.ErrorCount;
  const std::u16string head =
      ErrPrefix(subject) + SystemMessage(State.RtlNtStatusToDosError(status)) + u" at " +
      std::u16string(context) + u" (NT:0x" + UpperHex(static_cast<uint32_t>(status)) + u",DOS:";
  // Each sink's line carries the code the conversion gives right before it
  // is written.
  auto line = [&] {
    return head + Decimal(static_cast<int32_t>(State.RtlNtStatusToDosError(status))) + u")\n";
  };
  if (!Settings.Silent) Console().Write(line());
  if (State.Log.IsOpen()) State.Log.Write(line());
  if (State.ErrorLog.IsOpen()) {
    State.ErrorLog.Write(line());
    State.ErrorLog.Flush();
  }
}

void ReportShortWrite(std::u16string_view destination, DWORD bytes_read, DWORD bytes_written) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  ++Counters.ErrorCount;
  WriteErrorLine(ErrPrefix(destination) + UnsignedDecimal(bytes_read) + u" bytes read and " +
                 UnsignedDecimal(bytes_written) + u" bytes written\n");
}

namespace {
// Whether a progress line has anywhere to go; a silent run without a log
// only counts.
bool ProgressWanted() {
  return !Settings.Silent || State.Log.IsOpen();
}
}  // namespace

void AnnounceDirectory(std::u16string_view path) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  ++Counters.DirectoryCount;
  if (!ProgressWanted()) return;
  WriteProgress(u"DIR  " + Decimal(Counters.DirectoryCount, 6) + u": " + ShownPath(path) + u"\n");
}

// Sizes of 2 TiB and more show their full KB figure rather than wrapping.
void AnnounceFile(std::u16string_view path, uint64_t size_in_bytes) {
  std::lock_guard<std::recursive_mutex> books(BooksLock());
  ++Counters.FileCount;
  NoteFileMet(path, size_in_bytes);
  if (!ProgressWanted()) return;
  WriteProgress(u"FILE " + Decimal(Counters.FileCount, 6) + u": " + ShownPath(path) + u" (" +
                UnsignedDecimal(size_in_bytes >> 10) + u" KB)\n");
}

}  // namespace vx
