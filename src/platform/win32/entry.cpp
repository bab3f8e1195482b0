// Process entry on Windows: a Unicode console program; the runtime splits the
// wide command line into the argument vector.
#include "../../run/main.h"

// The runtime must not expand * and ? in arguments against the current
// directory: "/Source:D:\Data*" names a path, not a pattern.
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t** argv) {
  return vx::RunMain(argc, reinterpret_cast<const char16_t* const*>(argv));
}
