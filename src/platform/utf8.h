// UTF-8 <-> UTF-16 for names, arguments and lists, on both builds, with
// every byte that is not part of valid UTF-8 carried as the lone surrogate
// U+DC80 + byte, so that any byte string round-trips.
#pragma once

#include <string>
#include <string_view>

namespace vx {

std::u16string DecodeFileName(std::string_view bytes);
std::string EncodeFileName(std::u16string_view text);
// The same into a string of the caller's, whose room is reused: a name
// converted for every entry of a walk costs no allocation.
void DecodeFileNameInto(std::string_view bytes, std::u16string* out);
void EncodeFileNameInto(std::u16string_view text, std::string* out);

// Appends the UTF-8 form of the code point.
void AppendUtf8(std::string* out, char32_t code_point);

}  // namespace vx
