// The names files are written under before they are put in place whole:
// ".velmox~", sixteen lower-case hexadecimal digits, ".tmp". A later run
// removes a leftover one (a killed run's) from a directory it walks.
#pragma once

#include <string>
#include <string_view>

namespace vx {

std::u16string NextTemporaryName();
bool IsTemporaryName(std::u16string_view name);

}  // namespace vx
