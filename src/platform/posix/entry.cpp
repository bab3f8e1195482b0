// Process entry on Linux: arguments arrive as bytes and are decoded into
// UTF-16 the way file names are, so every name round-trips byte for byte.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../run/main.h"
#include "internal.h"

namespace {

// A deep tree holds two handles per level.
void RaiseOpenFileLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// An exit status has 8 bits here: 255 is the fatal error, and an error count
// is capped at 254 so that 256 errors never read as success.
int ExitStatusFor(int result) {
  if (result < 0) return 255;
  return std::min(result, 254);
}

}  // namespace

int main(int argc, char** argv) {
  RaiseOpenFileLimit();
  // A console that goes away (`velmox ... | head`) costs the console lines
  // only: the write fails and is dropped, and the copy, the logs and the
  // summary complete.
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit (ulimit -f) fails the write with EFBIG, an ERR for
  // that file, instead of ending the run unsummarised.
  signal(SIGXFSZ, SIG_IGN);
  std::vector<std::u16string> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(vx::DecodeFileName(argv[i]));
  std::vector<const char16_t*> vector;
  for (const std::u16string& argument : arguments) vector.push_back(argument.c_str());
  vector.push_back(nullptr);
  return ExitStatusFor(vx::RunMain(argc, vector.data()));
}
