// The names files are written under before they are put in place whole:
// ".velmox~", sixteen lower-case hexadecimal digits drawn at random, ".tmp".
// No one can tell the next name from the last, so no one can take it
// first; a name found taken is drawn again. A later run removes a leftover
// one (a killed run's) from a directory it walks where its owner shows it is
// the run's own.
#pragma once

#include <string>
#include <string_view>

#include "../../platform/platform.h"

namespace vx {

std::u16string NextTemporaryName();
bool IsTemporaryName(std::u16string_view name);

// How often a taken temporary name is drawn again before the failure stands.
constexpr int kTemporaryNameTries = 8;

// Calls `attempt` (true where it made something under the name given,
// else false with the last error set) under fresh temporary names until one
// is not taken; `*name` is the name of the last try.
template <typename Attempt>
bool TryUnderTemporaryName(std::u16string* name, Attempt attempt) {
  for (int tries = 1;; ++tries) {
    *name = NextTemporaryName();
    if (attempt(name->c_str())) return true;
    const DWORD code = Os().GetLastError();
    if (tries == kTemporaryNameTries || (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS)) {
      return false;
    }
  }
}

// The same for `make`, which returns the object made or INVALID_HANDLE_VALUE.
template <typename Make>
HANDLE MakeUnderTemporaryName(std::u16string* name, Make make) {
  HANDLE made = INVALID_HANDLE_VALUE;
  TryUnderTemporaryName(name, [&](const char16_t* temporary) {
    made = make(temporary);
    return made != INVALID_HANDLE_VALUE;
  });
  return made;
}

}  // namespace vx
