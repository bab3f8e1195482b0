// Test helpers: a temporary directory tree on the real file system, console
// capture, and running Main with an argument vector.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "report/report.h"

namespace vx::testing {

// A fresh directory under the system's temporary directory, removed at the
// end of the test.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  // The root, or a path below it with `relative` joined by the platform's
  // separator ('/' in `relative` is turned into it).
  std::u16string Path(std::u16string_view relative = u"") const;
  std::filesystem::path Fs(std::u16string_view relative = u"") const;
  void MakeDir(std::u16string_view relative) const;
  // Writes a file, making the directories above it where they are missing.
  void Write(std::u16string_view relative, const std::string& data) const;
  std::string Read(std::u16string_view relative) const;
  bool Exists(std::u16string_view relative) const;

 private:
  std::filesystem::path root_;
};

std::string ReadWholeFile(const std::filesystem::path& path);

// Sends the console sink to a file for the test's lifetime.
class ConsoleCapture {
 public:
  // Standard output (Console) or standard error (Hints).
  explicit ConsoleCapture(Sink& (*which)() = Console);
  ~ConsoleCapture();
  // Everything written so far, as bytes.
  std::string Text();

 private:
  Scratch scratch_;
  Sink& (*which_)();
  DWORD standard_;
};

// Calls Main with "velmox" and `arguments`.
int RunVelmox(const std::vector<std::u16string>& arguments);

// Text as the sinks write it: one byte per unit, LF as CR LF.
std::string Bytes(std::u16string_view text);

// The ERR line a report of `code` writes, with the platform's own message.
std::string ErrLine(int number, std::u16string_view subject, std::u16string_view context,
                    DWORD code);

// FILETIME tick counts of 1 January 1980 (the incomplete-file mark) and of
// 1 January 2020, 00:00:00 UTC.
constexpr uint64_t k1980 = 119600064000000000ULL;
constexpr uint64_t k2020 = 132223104000000000ULL;

// Last-write time of a path, as a FILETIME tick count.
uint64_t LastWriteTicks(const std::u16string& path);
// Sets a path's last-write time.
void SetLastWriteTicks(const std::u16string& path, uint64_t ticks);

}  // namespace vx::testing
