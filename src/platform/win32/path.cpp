// Root paths on Windows: the extended-length prefix, so the walk is not held
// to the 260-unit path limit.
#include <string>

#include "../platform.h"
// clang-format off
#include <windows.h>
// clang-format on

namespace vx {

const char16_t kPathSeparator = u'\\';

// Windows opens follow links, and so do its tree copiers.
const bool kLinksKeptByDefault = false;

const bool kNamesIgnoreCase = true;

const char16_t* const kPrivilegeHint =
    u"run velmox from an elevated prompt, as an administrator or a backup operator.";

namespace {
// The longest path the extended-length form allows.
constexpr size_t kMaxExtendedPathUnits = 32767;

// The path as Windows itself reads it (GetFullPathNameW): the current
// directory of a relative path or a bare drive put in front, "/" turned to
// "\", "." and ".." parts resolved, trailing spaces and dots of a name
// dropped.
bool FullPath(std::u16string_view typed, std::u16string* full) {
  const std::wstring text(typed.begin(), typed.end());
  const DWORD needed = ::GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return false;
  std::wstring out(needed, L'\0');
  const DWORD got = ::GetFullPathNameW(text.c_str(), needed, out.data(), nullptr);
  if (got == 0 || got >= needed) return false;
  full->assign(out.begin(), out.begin() + got);
  return full->size() >= 2;
}

}  // namespace

// "X:..." and "\\.\X:..." become "\\?\X:...", "\\server\share" becomes
// "\\?\UNC\server\share", each made full first, since the prefix turns
// all of Windows' own normalisation off. A path already in the
// extended-length form (a drive, UNC, a volume GUID, GLOBALROOT and a
// shadow copy below it) is kept as typed. A relative path whose second unit
// is a backslash (".\x", "a\b") is resolved against the current directory
// and drive, never taken for a share. Any other form is refused.
RootPathForm PrepareRootPath(std::u16string_view typed, std::u16string* prepared) {
  constexpr std::u16string_view kExtended = u"\\\\?\\";
  if (typed.size() < 2) return RootPathForm::kUnrecognised;
  if (typed.substr(0, kExtended.size()) == kExtended) {
    *prepared = typed;
    return prepared->size() > kMaxExtendedPathUnits ? RootPathForm::kTooLong
                                                    : RootPathForm::kPrepared;
  }
  const bool drive = typed[1] == u':';
  const bool share = typed[0] == u'\\' && typed[1] == u'\\';
  const bool relative = typed[1] == u'\\' && typed[0] != u'\\';
  if (!drive && !share && !relative) return RootPathForm::kUnrecognised;
  if (typed.size() > kMaxExtendedPathUnits) return RootPathForm::kTooLong;
  std::u16string full;
  if (!FullPath(typed, &full)) return RootPathForm::kUnrecognised;
  constexpr std::u16string_view kDevice = u"\\\\.\\";
  if (full[1] == u':') {
    *prepared = u"\\\\?\\" + full;
  } else if (std::u16string_view(full).substr(0, kDevice.size()) == kDevice) {
    // "\\.\X:\path" (the device namespace) names what "\\?\X:\path" names,
    // once normalised: no share.
    *prepared = u"\\\\?\\" + full.substr(kDevice.size());
  } else if (full[0] == u'\\' && full[1] == u'\\') {
    *prepared = u"\\\\?\\UNC\\" + full.substr(2);
  } else {
    return RootPathForm::kUnrecognised;
  }
  if (prepared->size() > kMaxExtendedPathUnits) return RootPathForm::kTooLong;
  return RootPathForm::kPrepared;
}

}  // namespace vx
