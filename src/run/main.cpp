#include "main.h"

#include <new>

#include "../copy/registries.h"
#include "../report/report.h"
#include "command_line.h"
#include "prepare.h"
#include "run_state.h"
#include "stop.h"
#include "summary.h"

namespace vx {

int Main(int argc, const char16_t* const* argv) {
  if (argc == 1 || AsksForHelp(argc, argv)) {
    PrintUsage();
    return 0;
  }
  ResetRun();
  ResetRegistries();
  State.CommandLine = CommandLineText(argc, argv);
  WatchForStopRequests();
  if (!ParseArguments(argc, argv)) {
    WriteHint(u"run velmox with no argument, or velmox /?, for the usage.");
    return -1;
  }
  if (!ValidateSettings()) {
    WriteHint(u"run velmox with no argument, or velmox /?, for the usage.");
    return -1;
  }
  if (!PrepareRun()) {
    SummarizeFatalEnd(-1);
    return -1;
  }
  return CopyRunAndSummarize();
}

int RunMain(int argc, const char16_t* const* argv) {
  int result = -1;
  // Memory that runs out anywhere on the run's own thread ends the run with
  // a fatal message and -1, never an abort.
  try {
    result = Main(argc, argv);
  } catch (const std::bad_alloc&) {
    WriteConsole(u"Not enough memory, aborting.\n");
    SummarizeFatalEnd(-1);
  }
  State.Log.Close();
  State.ErrorLog.Close();
  State.JsonLog.Close();
  Console().Flush();
  return result;
}

}  // namespace vx
