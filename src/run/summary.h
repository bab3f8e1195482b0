#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx {

// Seconds since 1970 from the platform clock, cut to whole seconds.
int32_t CurrentTimeInSeconds();

// The summary's lines; `for_log` leaves out the empty line before the
// elapsed time.
std::vector<std::u16string> SummaryLines(int32_t elapsed_seconds, bool for_log);

// Times the walk from the source root, prints the summary, closes the log
// files and returns ErrorCount.
int32_t CopyRunAndSummarize();

// A run that ends before its walk (a fatal message) still ends its JSON
// log, where one is open: a summary with `exit_code` and the message last
// written as `error`, so that the last record tells how every run ended.
void SummarizeFatalEnd(int32_t exit_code);

}  // namespace vx
