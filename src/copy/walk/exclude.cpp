#include "exclude.h"

#include <utility>

namespace vx {

namespace {

bool VolumesIgnoreCase() {
  return Os().UpcaseName != nullptr;
}

}  // namespace

bool NormalisedRelativePath(std::u16string_view typed, std::u16string* pattern) {
  pattern->clear();
  std::u16string part;
  auto end_part = [&] {
    if (part == u"." && pattern->empty()) {
      part.clear();  // a leading "./"
      return true;
    }
    if (part == u"." || part == u"..") return false;
    if (!part.empty()) {
      if (!pattern->empty()) pattern->push_back(kPathSeparator);
      pattern->append(part);
    }
    part.clear();
    return true;
  };
  for (char16_t unit : typed) {
    if (unit == kPathSeparator || unit == u'/') {
      if (!end_part()) return false;
    } else {
      part.push_back(unit);
    }
  }
  return end_part() && !pattern->empty();
}

bool PrepareExcludes(const std::vector<std::u16string_view>& typed, ExcludePatterns* prepared) {
  prepared->clear();
  for (std::u16string_view typed_pattern : typed) {
    std::u16string pattern;
    if (!NormalisedRelativePath(typed_pattern, &pattern)) return false;
    const bool by_path = pattern.find(kPathSeparator) != std::u16string::npos;
    prepared->push_back(ExcludePattern{std::move(pattern), by_path});
  }
  return true;
}

// Backtracks to the last `*` only: a `*` never takes a separator, so the
// text is walked once per star at most.
bool MatchesPattern(std::u16string_view typed_pattern, std::u16string_view typed_text,
                    bool if_unsure) {
  std::u16string pattern;
  std::u16string text;
  if (!FoldName(typed_pattern, VolumesIgnoreCase(), &pattern) ||
      !FoldName(typed_text, VolumesIgnoreCase(), &text)) {
    return if_unsure;
  }
  constexpr size_t kNone = std::u16string_view::npos;
  size_t p = 0;
  size_t t = 0;
  size_t star = kNone;
  size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() &&
               (pattern[p] == u'?' ? text[t] != kPathSeparator : pattern[p] == text[t])) {
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
                std::u16string_view name, bool if_unsure) {
  for (const ExcludePattern& pattern : patterns) {
    if (MatchesPattern(pattern.text, pattern.by_path ? relative : name, if_unsure)) return true;
  }
  return false;
}

bool FoldName(std::u16string_view name, bool ignore_case, std::u16string* compared) {
  compared->assign(name);
  if (!ignore_case || !VolumesIgnoreCase() || compared->empty()) return true;
  std::u16string upper = *compared;
  if (!Os().UpcaseName(upper.data(), static_cast<DWORD>(upper.size()))) return false;
  compared->swap(upper);
  return true;
}

std::u16string ComparedName(std::u16string_view name, bool ignore_case) {
  std::u16string compared;
  FoldName(name, ignore_case, &compared);
  return compared;
}

std::u16string AsciiFolded(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& unit : folded) {
    if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit + 0x20);
  }
  return folded;
}

bool NamesIgnoreCaseIn(HANDLE directory) {
  if (!VolumesIgnoreCase()) return false;
  BOOL sensitive = 0;
  return Os().IsCaseSensitiveDirectory == nullptr ||
         !Os().IsCaseSensitiveDirectory(directory, &sensitive) || !sensitive;
}

std::u16string_view BelowRoot(std::u16string_view path, size_t root_length) {
  path.remove_prefix(std::min(root_length, path.size()));
  while (!path.empty() && path.front() == kPathSeparator) path.remove_prefix(1);
  return path;
}

// The path of the entry `name` of the directory at `directory_path`, below
// the root of `root_length` units, as /Exclude:'s path patterns see it.
std::u16string EntryBelowRoot(std::u16string_view directory_path, size_t root_length,
                              std::u16string_view name) {
  std::u16string relative(BelowRoot(directory_path, root_length));
  if (!relative.empty()) relative.push_back(kPathSeparator);
  relative.append(name);
  return relative;
}

}  // namespace vx
