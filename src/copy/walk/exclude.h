// Entries a run leaves out (/Exclude:), and names compared as the
// destination's file system compares them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../../platform/platform.h"

namespace vx {

struct ExcludePattern {
  std::u16string text;
  bool by_path;  // it holds a separator: matched against the path below the root
};
using ExcludePatterns = std::vector<ExcludePattern>;

// The patterns as typed, each made the form the walk's relative paths take:
// '/' separates where '\\' does, a leading "./" or separator, a trailing
// separator and doubled separators are dropped. False where one can never
// match: nothing left, or a "." or ".." part.
bool PrepareExcludes(const std::vector<std::u16string_view>& typed, ExcludePatterns* prepared);

// A path below a root as the walk's relative paths take it: '/' separates
// where '\\' does, a leading "./" or separator, a trailing separator and
// doubled separators are dropped. False where it can never name an entry:
// nothing left, or a "." or ".." part.
bool NormalisedRelativePath(std::u16string_view typed, std::u16string* path);

// `*` matches any run of characters within one name, `?` one character;
// names compare as the platform's file systems compare them. Where the
// system cannot upper-case them, the answer is `if_unsure`.
bool MatchesPattern(std::u16string_view pattern, std::u16string_view text,
                    bool if_unsure = false);

// Whether the entry `name`, at `relative` below its root, is left out;
// `if_unsure` where a name could not be compared: false where the entry is
// to be copied (it is then copied, and shown), true where it is to be
// removed (it then stays).
bool IsExcluded(const ExcludePatterns& patterns, std::u16string_view relative,
                std::u16string_view name, bool if_unsure = false);

// `name` as a directory compares it into `*compared`: as it is, or, where
// `ignore_case`, upper-cased as the system's case-insensitive comparison
// does (never by a table of our own). False, with the name as it is, where
// the system could not upper-case it.
bool FoldName(std::u16string_view name, bool ignore_case, std::u16string* compared);
std::u16string ComparedName(std::u16string_view name, bool ignore_case);
// `name` with its ASCII capitals made small: what every volume that ignores
// case folds alike.
std::u16string AsciiFolded(std::u16string_view name);

// Whether the open destination directory compares names without case: its
// volume does (Windows), and it is not marked case-sensitive.
bool NamesIgnoreCaseIn(HANDLE directory);

// `path` below the root of `root_length` units: the path patterns of
// /Exclude: are matched against it, and the history keeps versions at it.
std::u16string_view BelowRoot(std::u16string_view path, size_t root_length);

// The path of the entry `name` of the directory at `directory_path`, below
// the root of `root_length` units, as /Exclude:'s path patterns see it.
std::u16string EntryBelowRoot(std::u16string_view directory_path, size_t root_length,
                              std::u16string_view name);

}  // namespace vx
