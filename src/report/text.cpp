#include "text.h"

#include <cmath>
#include <cstring>

namespace vx {

std::u16string Widen(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (char c : bytes) out.push_back(static_cast<unsigned char>(c));
  return out;
}

std::u16string UnsignedDecimal(uint64_t value) {
  char16_t digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::u16string out;
  while (n > 0) out.push_back(digits[--n]);
  return out;
}

std::u16string Decimal(int64_t value, int width) {
  const bool negative = value < 0;
  const uint64_t magnitude =
      negative ? ~static_cast<uint64_t>(value) + 1 : static_cast<uint64_t>(value);
  std::u16string digits = UnsignedDecimal(magnitude);
  std::u16string out = negative ? u"-" : u"";
  const int used = static_cast<int>(out.size() + digits.size());
  if (used < width) out.append(static_cast<size_t>(width - used), u'0');
  return out + digits;
}

std::u16string UpperHex(uint32_t value) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return out;
}

namespace {

// Adds one unit at the last place of a digit string, carrying leftwards; a
// carry out of the first digit prepends a 1.
void IncrementDigits(std::string* digits) {
  for (size_t i = digits->size(); i-- > 0;) {
    if ((*digits)[i] == '9') {
      (*digits)[i] = '0';
    } else {
      ++(*digits)[i];
      return;
    }
  }
  digits->insert(digits->begin(), '1');
}

// Multiplies a decimal digit string by a single digit; true when the string
// grew by one digit in front.
bool MultiplyDigits(std::string* digits, int factor) {
  int carry = 0;
  for (size_t i = digits->size(); i-- > 0;) {
    const int product = ((*digits)[i] - '0') * factor + carry;
    (*digits)[i] = static_cast<char>('0' + product % 10);
    carry = product / 10;
  }
  if (carry == 0) return false;
  digits->insert(digits->begin(), static_cast<char>('0' + carry));
  return true;
}

}  // namespace

std::u16string TwoDecimals(double value) {
  if (!std::isfinite(value)) return Widen(std::isnan(value) ? "nan" : "inf");
  const bool negative = std::signbit(value);
  value = std::fabs(value);

  // The exact decimal expansion of a double is finite: mantissa * 2^exponent.
  // Worked out with big decimal digit strings, it stays independent of the C
  // library's printf.
  int exponent;
  const double mantissa_part = std::frexp(value, &exponent);
  uint64_t mantissa = static_cast<uint64_t>(std::ldexp(mantissa_part, 53));
  exponent -= 53;
  // integer digits of mantissa, then scaled by 2^exponent
  std::string digits = std::to_string(mantissa);  // an integer, point at the end
  int point = static_cast<int>(digits.size());    // digits before the decimal point
  for (; exponent > 0; --exponent) {
    if (MultiplyDigits(&digits, 2)) ++point;
  }
  for (; exponent < 0; ++exponent) {
    // dividing by two is multiplying by five and moving the point one left
    if (MultiplyDigits(&digits, 5)) ++point;
    --point;
  }
  // `digits` with the point after `point` digits (point may be <= 0 or beyond
  // the string) is the exact value. Normalise to a leading non-zero digit.
  size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    digits = "0";
    point = 1;
  } else {
    digits.erase(0, first);
    point -= static_cast<int>(first);
  }
  // Round to 17 significant digits, ties to even, as printf's %.16e does.
  if (digits.size() > 17) {
    std::string rest = digits.substr(17);
    digits.resize(17);
    bool above_half =
        rest[0] > '5' || (rest[0] == '5' && rest.find_first_not_of('0', 1) != std::string::npos);
    bool tie = rest[0] == '5' && !above_half;
    if (above_half || (tie && (digits.back() - '0') % 2 == 1)) {
      size_t before = digits.size();
      IncrementDigits(&digits);
      if (digits.size() > before) ++point;
    }
  }
  // Now round half up at the second decimal.
  const int keep = point + 2;  // digits kept: integer part and two decimals
  std::string kept;
  if (keep <= 0) {
    // 0.00x and smaller: rounds up only when the third decimal is >= 5,
    // which needs the first digit to be exactly the third decimal.
    kept = (keep == 0 && digits[0] >= '5') ? "1" : "0";
  } else {
    kept = digits.substr(0, std::min<size_t>(digits.size(), static_cast<size_t>(keep)));
    kept.append(static_cast<size_t>(keep) - kept.size(), '0');
    if (static_cast<size_t>(keep) < digits.size() && digits[static_cast<size_t>(keep)] >= '5') {
      IncrementDigits(&kept);
    }
  }
  // `kept` is the value times 100.
  if (kept.size() < 3) kept.insert(0, 3 - kept.size(), '0');
  std::string text = kept.substr(0, kept.size() - 2) + "." + kept.substr(kept.size() - 2);
  text.erase(0, std::min(text.find_first_not_of('0'), text.find('.') - 1));
  if (negative) text.insert(0, "-");
  if (text.size() < 2) text.insert(0, 2 - text.size(), ' ');
  return Widen(text);
}

}  // namespace vx

namespace vx {

std::u16string UtcTimeText(uint64_t ticks) {
  constexpr uint64_t kTicksPerMillisecond = 10000;
  constexpr uint64_t kSecondsPerDay = 86400;
  // 1 January 1601 is day 0 of a proleptic Gregorian count; shifted to
  // 1 March 0000 so that leap days fall at the end of each year.
  constexpr int64_t kDaysFrom0000To1601 = 584694;
  const uint64_t milliseconds = ticks / kTicksPerMillisecond;
  const uint64_t seconds = milliseconds / 1000;
  const int64_t days = static_cast<int64_t>(seconds / kSecondsPerDay) + kDaysFrom0000To1601;
  const uint64_t of_day = seconds % kSecondsPerDay;
  const int64_t era = days / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_index = (5 * day_of_year + 2) / 153;  // 0 = March
  const int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  return Decimal(year, 4) + u"-" + Decimal(month, 2) + u"-" + Decimal(day, 2) + u"T" +
         Decimal(static_cast<int64_t>(of_day / 3600), 2) + u":" +
         Decimal(static_cast<int64_t>(of_day / 60 % 60), 2) + u":" +
         Decimal(static_cast<int64_t>(of_day % 60), 2) + u"." +
         Decimal(static_cast<int64_t>(milliseconds % 1000), 3) + u"Z";
}

std::u16string LocalTimeText(uint64_t ticks, int32_t offset_minutes) {
  constexpr int64_t kTicksPerMinute = 600000000;
  const int64_t shifted = static_cast<int64_t>(ticks) + offset_minutes * kTicksPerMinute;
  const std::u16string local = UtcTimeText(static_cast<uint64_t>(shifted));
  const int32_t away = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  return local.substr(0, 19) + (offset_minutes < 0 ? u"-" : u"+") + Decimal(away / 60, 2) + u":" +
         Decimal(away % 60, 2);
}

}  // namespace vx
