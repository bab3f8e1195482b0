// Root paths on Windows: the extended-length prefix, so the walk is not held
// to the 260-unit path limit.
#include <string>

#include "platform.h"
// clang-format off
#include <windows.h>
// clang-format on

namespace vx {

const char16_t kPathSeparator = u'\\';

// Windows opens follow links, and so do its tree copiers.
const bool kLinksKeptByDefault = false;

const bool kNamesIgnoreCase = true;

namespace {
// The longest path the extended-length form allows.
constexpr size_t kMaxExtendedPathUnits = 32767;
}  // namespace

// "X:..." becomes "\\?\X:...", "\\server\share" becomes "\\?\UNC\server\share".
// A path already in the extended-length form (a drive, UNC, a volume GUID,
// GLOBALROOT and a shadow copy below it) is kept as typed. A relative path
// whose second unit is a backslash (".\x", "a\b") is resolved against the
// current directory and drive first, never taken for a share. Nothing else
// of the path is looked at.
RootPathForm PrepareRootPath(std::u16string_view typed, std::u16string* prepared) {
  constexpr std::u16string_view kExtended = u"\\\\?\\";
  if (typed.size() < 2) return RootPathForm::kUnrecognised;
  std::u16string resolved;
  if (typed.substr(0, kExtended.size()) == kExtended) {
    *prepared = typed;
    return prepared->size() > kMaxExtendedPathUnits ? RootPathForm::kTooLong
                                                    : RootPathForm::kPrepared;
  }
  if (typed[1] == u'\\' && typed[0] != u'\\') {
    const std::wstring relative(typed.begin(), typed.end());
    const DWORD needed = ::GetFullPathNameW(relative.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return RootPathForm::kUnrecognised;
    std::wstring full(needed, L'\0');
    const DWORD got = ::GetFullPathNameW(relative.c_str(), needed, full.data(), nullptr);
    if (got == 0 || got >= needed) return RootPathForm::kUnrecognised;
    resolved.assign(full.begin(), full.begin() + got);
    typed = resolved;
    if (typed.size() < 2) return RootPathForm::kUnrecognised;
  }
  if (typed[1] == u':') {
    *prepared = u"\\\\?\\";
    prepared->append(typed);
  } else if (typed[0] == u'\\' && typed[1] == u'\\') {
    *prepared = u"\\\\?\\UNC\\";
    prepared->append(typed.substr(2));
  } else {
    return RootPathForm::kUnrecognised;
  }
  if (prepared->size() > kMaxExtendedPathUnits) return RootPathForm::kTooLong;
  return RootPathForm::kPrepared;
}

}  // namespace vx
