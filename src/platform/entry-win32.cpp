// Process entry on Windows: a Unicode console program; the runtime splits the
// wide command line into the argument vector.
#include "../run/main.h"

int wmain(int argc, wchar_t** argv) {
  return vx::RunMain(argc, reinterpret_cast<const char16_t* const*>(argv));
}
