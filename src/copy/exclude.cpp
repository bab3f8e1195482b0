#include "exclude.h"

#include <algorithm>
#include <utility>

#include "../platform/platform.h"

namespace vx {

namespace {

char16_t Folded(char16_t unit) {
  if (!kNamesIgnoreCase) return unit;
  if (unit >= u'a' && unit <= u'z') return static_cast<char16_t>(unit - 0x20);
  if (unit < 0xE0) return unit;
  if ((unit <= 0xFE && unit != 0xF7) || (unit >= 0x3B1 && unit <= 0x3CB && unit != 0x3C2) ||
      (unit >= 0x430 && unit <= 0x44F)) {
    return static_cast<char16_t>(unit - 0x20);
  }
  if (unit == 0xFF) return 0x178;
  if (unit >= 0x450 && unit <= 0x45F) return static_cast<char16_t>(unit - 0x50);
  return unit;
}

}  // namespace

bool PrepareExcludes(const std::vector<std::u16string_view>& typed, ExcludePatterns* prepared) {
  prepared->clear();
  for (std::u16string_view typed_pattern : typed) {
    std::u16string pattern(typed_pattern);
    // Where '\\' separates, '/' cannot be in a name and separates too.
    if (kPathSeparator == u'\\') std::replace(pattern.begin(), pattern.end(), u'/', u'\\');
    const size_t first = pattern.find_first_not_of(kPathSeparator);
    if (first == std::u16string::npos) return false;
    pattern.erase(0, first);
    const bool by_path = pattern.find(kPathSeparator) != std::u16string::npos;
    prepared->push_back(ExcludePattern{std::move(pattern), by_path});
  }
  return true;
}

// Backtracks to the last `*` only: a `*` never takes a separator, so the
// text is walked once per star at most.
bool MatchesPattern(std::u16string_view pattern, std::u16string_view text) {
  constexpr size_t kNone = std::u16string_view::npos;
  size_t p = 0;
  size_t t = 0;
  size_t star = kNone;
  size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && (pattern[p] == u'?' ? text[t] != kPathSeparator
                                                         : Folded(pattern[p]) == Folded(text[t]))) {
      ++p;
      ++t;
    } else if (star != kNone && text[resume] != kPathSeparator) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

bool IsExcluded(const ExcludePatterns& patterns, std::u16string_view relative,
                std::u16string_view name) {
  for (const ExcludePattern& pattern : patterns) {
    if (MatchesPattern(pattern.text, pattern.by_path ? relative : name)) return true;
  }
  return false;
}

std::u16string ComparedName(std::u16string_view name) {
  std::u16string compared(name);
  if (kNamesIgnoreCase) {
    for (char16_t& unit : compared) unit = Folded(unit);
  }
  return compared;
}

}  // namespace vx
