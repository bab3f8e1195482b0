// The one formatter: number and text pieces from which every output line is
// composed, with printf's rules for the fields the program prints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vx {

// Bytes to UTF-16 units of the same value (for 8-bit texts).
std::u16string Widen(std::string_view bytes);

// "%d" and "%0Nd": a signed decimal at least `width` characters wide, padded
// with zeros after the sign.
std::u16string Decimal(int64_t value, int width = 0);
std::u16string UnsignedDecimal(uint64_t value);

// "%X": upper-case hexadecimal, no leading zeros.
std::u16string UpperHex(uint32_t value);

// "%2.2f" with the two decimals rounded half up from the value written out
// to 17 significant digits, so 0.125 prints as 0.13.
std::u16string TwoDecimals(double value);

}  // namespace vx

namespace vx {

// A time in FILETIME ticks (100 ns since 1601) as ISO 8601 UTC with
// milliseconds: 2026-12-09T07:30:00.125Z.
std::u16string UtcTimeText(uint64_t ticks);
// The same moment as local time `offset_minutes` ahead of UTC, to the
// second, with its offset: 2026-12-09T08:30:00+01:00.
std::u16string LocalTimeText(uint64_t ticks, int32_t offset_minutes);

}  // namespace vx
