#include "temporary_name.h"

#include <atomic>


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

// Drawn from the system's random source. Should it fail, a sequence
// seeded from the clock serves instead: names stay unique within the run,
// and a taken one is drawn again.
std::u16string NextTemporaryName() {
  static std::atomic<uint64_t> fallback{[] {
    FILETIME now;
    Os().GetSystemTimeAsFileTime(&now);
    return FileTimeTicks(now);
  }()};
  uint64_t value = 0;
  if (Os().GenerateRandom == nullptr || !Os().GenerateRandom(&value, sizeof value)) {
    value = fallback.fetch_add(1);
  }
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
