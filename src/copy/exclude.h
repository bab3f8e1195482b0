// Entries a run leaves out (/Exclude:), and names compared as the
// destination's file system compares them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vx {

struct ExcludePattern {
  std::u16string text;
  bool by_path;  // it holds a separator: matched against the path below the root
};
using ExcludePatterns = std::vector<ExcludePattern>;

// The patterns as typed, a leading separator taken off; false where one
// leaves nothing to match.
bool PrepareExcludes(const std::vector<std::u16string_view>& typed, ExcludePatterns* prepared);

// `*` matches any run of characters within one name, `?` one character;
// without case where the platform's names have none.
bool MatchesPattern(std::u16string_view pattern, std::u16string_view text);

// Whether the entry `name`, at `relative` below its root, is left out.
bool IsExcluded(const ExcludePatterns& patterns, std::u16string_view relative,
                std::u16string_view name);

// `name` as the platform's file systems compare it: as it is, or with
// letters folded to upper case (ASCII, Latin-1, Greek and Cyrillic).
std::u16string ComparedName(std::u16string_view name);

}  // namespace vx
