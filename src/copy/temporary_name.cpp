#include "temporary_name.h"

#include <atomic>

#include "../platform/platform.h"

namespace vx {

namespace {
constexpr std::u16string_view kPrefix = u".velmox~";
constexpr std::u16string_view kSuffix = u".tmp";
constexpr size_t kDigits = 16;
constexpr char16_t kHex[] = u"0123456789abcdef";

bool IsHexDigit(char16_t unit) {
  return (unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'f');
}
}  // namespace

// Seeded from the clock, so that a name left by an earlier run is not
// likely to be met again; workers draw from the one sequence.
std::u16string NextTemporaryName() {
  static std::atomic<uint64_t> next{[] {
    FILETIME now;
    Os().GetSystemTimeAsFileTime(&now);
    return FileTimeTicks(now);
  }()};
  uint64_t value = next.fetch_add(1);
  std::u16string name(kPrefix);
  name.resize(kPrefix.size() + kDigits);
  for (size_t i = 0; i < kDigits; ++i, value >>= 4) {
    name[kPrefix.size() + kDigits - 1 - i] = kHex[value & 15];
  }
  name.append(kSuffix);
  return name;
}

bool IsTemporaryName(std::u16string_view name) {
  if (name.size() != kPrefix.size() + kDigits + kSuffix.size()) return false;
  if (name.substr(0, kPrefix.size()) != kPrefix || name.substr(name.size() - kSuffix.size()) != kSuffix) {
    return false;
  }
  for (char16_t unit : name.substr(kPrefix.size(), kDigits)) {
    if (!IsHexDigit(unit)) return false;
  }
  return true;
}

}  // namespace vx
