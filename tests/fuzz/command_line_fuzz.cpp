// The command line, parsed and validated from any argument vector: no crash,
// settings that hold together when valid, and exactly one message on the
// console when not.
#include <string>
#include <vector>

#include "copy/registries.h"
#include "fuzz_check.h"
#include "report/report.h"
#include "run/command_line.h"
#include "run/run_state.h"

namespace {

using namespace vx;

// A handle no backend hands out, standing for the console.
HANDLE const kConsole = reinterpret_cast<HANDLE>(intptr_t{0x5EE});
std::string g_console;

HANDLE ConsoleHandle(DWORD) {
  return kConsole;
}
DWORD DiskFileType(HANDLE) {
  return FILE_TYPE_DISK;
}
BOOL CaptureWrite(HANDLE file, const void* buffer, DWORD count, DWORD* written, void* overlapped) {
  if (file != kConsole) return NativePlatform().WriteFile(file, buffer, count, written, overlapped);
  g_console.append(static_cast<const char*>(buffer), count);
  *written = count;
  return 1;
}

bool IsFlag(int32_t flag) {
  return flag == 0 || flag == 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Os().GetStdHandle = ConsoleHandle;
  Os().GetFileType = DiskFileType;
  Os().WriteFile = CaptureWrite;
  return 0;
}

// Arguments are the input's UTF-16 units, split at each unit 0.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::u16string> arguments = {u"velmox", u""};
  for (char16_t unit : fuzz::Units(data, size)) {
    if (unit == 0) {
      arguments.emplace_back();
    } else {
      arguments.back().push_back(unit);
    }
  }
  std::vector<const char16_t*> argv;
  for (const std::u16string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  ResetRun();
  ParseArguments(static_cast<int>(arguments.size()), argv.data());
  Console().Flush();
  g_console.clear();
  const bool valid = ValidateSettings();
  Console().Flush();

  for (int32_t flag : {Settings.Overwrite, Settings.OnlyNewer, Settings.SecurityDescriptor,
                       Settings.SubDirectories, Settings.Silent,
                       Settings.CreateDestinationDirectory, Settings.StopAtFirstError,
                       Settings.HardLinks, Settings.Attributes, Settings.Streams,
                       Settings.Specials, Settings.Mirror, Settings.List, Settings.RetryGiven,
                       Settings.WaitGiven, Settings.ThreadsGiven}) {
    FUZZ_CHECK(IsFlag(flag));
  }
  FUZZ_CHECK(Settings.Links >= kLinksDefault && Settings.Links <= kLinksFollowed);
  if (valid) {
    FUZZ_CHECK(g_console.empty());
    FUZZ_CHECK(!(Settings.Overwrite && Settings.OnlyNewer));
    FUZZ_CHECK(Settings.CopyBufferSize != 0);
    FUZZ_CHECK(Settings.Source == State.PreparedSource.c_str());
    FUZZ_CHECK(Settings.Destination == State.PreparedDestination.c_str());
    FUZZ_CHECK(State.SourceRootLength == State.PreparedSource.size());
    FUZZ_CHECK(State.PreparedSource.size() >= 2 && State.PreparedDestination.size() >= 2);
    FUZZ_CHECK(Settings.Retry >= 0 && Settings.Retry <= 1000000);
    FUZZ_CHECK(Settings.Wait >= 0 && Settings.Wait <= 1000000);
    FUZZ_CHECK(Settings.Threads >= 1 && Settings.Threads <= kMaxThreads);
    FUZZ_CHECK(!Settings.MaxDeleteGiven ||
               (Settings.MaxDelete >= 1 && Settings.MaxDelete <= 1000000));
    FUZZ_CHECK(Registries.Excludes.size() == Settings.Excludes.size());
    for (const ExcludePattern& pattern : Registries.Excludes) {
      FUZZ_CHECK(!pattern.text.empty() && pattern.text.front() != kPathSeparator &&
                 pattern.text.back() != kPathSeparator);
      // Parts as the walk's relative paths have them: none empty, "." or "..".
      const std::u16string wrapped = kPathSeparator + pattern.text + kPathSeparator;
      for (const std::u16string part : {u"", u".", u".."}) {
        FUZZ_CHECK(wrapped.find(kPathSeparator + part + kPathSeparator) == std::u16string::npos);
      }
      FUZZ_CHECK(MatchesPattern(pattern.text, pattern.text) ||
                 pattern.text.find_first_of(u"*?") != std::u16string::npos);
    }
  } else {
    // One message: text, with at most one line end, at its end.
    FUZZ_CHECK(!g_console.empty());
    const size_t line_end = g_console.find("\r\n");
    FUZZ_CHECK(line_end == std::string::npos || line_end == g_console.size() - 2);
  }
  return 0;
}
