// Root paths on Windows: the extended-length prefix, so the walk is not held
// to the 260-unit path limit.
#include "platform.h"

namespace vx {

const char16_t kPathSeparator = u'\\';

namespace {
// The longest path the extended-length form allows.
constexpr size_t kMaxExtendedPathUnits = 32767;
}  // namespace

// "X:..." becomes "\\?\X:...", "\\server\share" becomes "\\?\UNC\server\share".
// Nothing else of the path is looked at: ".\x" has a backslash second and so
// is taken for UNC, and a path that already carries the prefix gets another.
RootPathForm PrepareRootPath(std::u16string_view typed, std::u16string* prepared) {
  if (typed.size() < 2) return RootPathForm::kUnrecognised;
  if (typed[1] == u':') {
    *prepared = u"\\\\?\\";
    prepared->append(typed);
  } else if (typed[1] == u'\\') {
    *prepared = u"\\\\?\\UNC\\";
    prepared->append(typed.substr(2));
  } else {
    return RootPathForm::kUnrecognised;
  }
  if (prepared->size() > kMaxExtendedPathUnits) return RootPathForm::kTooLong;
  return RootPathForm::kPrepared;
}

}  // namespace vx
