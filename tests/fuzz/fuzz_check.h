// What the fuzz targets share: a failed invariant aborts with a line that
// says which, so libFuzzer keeps the input; the console is caught in memory.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

namespace vx::fuzz {

// UTF-16 units from the input's byte pairs, little-endian.
inline std::u16string Units(const uint8_t* data, size_t size) {
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  return units;
}

// Text of ASCII units as bytes.
inline std::string Narrow(std::u16string_view text) {
  return std::string(text.begin(), text.end());
}

}  // namespace vx::fuzz
