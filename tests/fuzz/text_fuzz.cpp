// The text layer from any input: the sinks' single-byte form round-trips,
// shown paths hold no control character, and every number and the summary's
// sizes match an independent reference built on the C library's printf.
#include <cinttypes>
#include <cstdarg>
#include <cstring>

#include "fuzz_check.h"
#include "report/sink.h"
#include "report/text.h"
#include "run/run_state.h"
#include "run/summary.h"

namespace {

using namespace vx;

// Reads the single-byte form back: CR LF is a line feed, <U+XXXX> the unit
// or the surrogate pair of its code point, any other byte the unit of its
// value.
std::u16string FromSingleByte(const std::string& bytes) {
  std::u16string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes.compare(i, 2, "\r\n") == 0) {
      text.push_back(u'\n');
      ++i;
    } else if (bytes.compare(i, 3, "<U+") == 0) {
      const size_t end = bytes.find('>', i);
      const uint32_t code_point =
          static_cast<uint32_t>(std::stoul(bytes.substr(i + 3, end - i - 3), nullptr, 16));
      if (code_point >= 0x10000) {
        text.push_back(static_cast<char16_t>(0xD800 + ((code_point - 0x10000) >> 10)));
        text.push_back(static_cast<char16_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF)));
      } else {
        text.push_back(static_cast<char16_t>(code_point));
      }
      i = end;
    } else {
      text.push_back(static_cast<unsigned char>(bytes[i]));
    }
  }
  return text;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char buffer[128];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  return buffer;
}

// "%2.2f" of a value written out to 17 significant digits first (the C
// library's %.16e, correctly rounded), then rounded half up at the second
// decimal, worked out in integers.
std::string ReferenceTwoDecimals(double value) {
  const std::string scientific = Printf("%.16e", value);  // d.dddddddddddddddde+XX
  uint64_t significand = 0;
  for (char c : scientific.substr(0, 18)) {
    if (c != '.') significand = significand * 10 + static_cast<uint64_t>(c - '0');
  }
  const int shift = std::atoi(scientific.c_str() + 19) - 14;  // hundredths = significand * 10^shift
  unsigned __int128 hundredths;
  if (shift >= 0) {
    hundredths = significand;
    for (int i = 0; i < shift; ++i) hundredths *= 10;
  } else if (-shift > 18) {
    hundredths = 0;
  } else {
    uint64_t divisor = 1;
    for (int i = 0; i < -shift; ++i) divisor *= 10;
    hundredths = (significand + divisor / 2) / divisor;
  }
  return Printf("%" PRIu64 ".%02u", static_cast<uint64_t>(hundredths / 100),
                static_cast<unsigned>(hundredths % 100));
}

std::string SummaryValue(const std::vector<std::u16string>& lines, std::u16string_view label) {
  for (const std::u16string& line : lines) {
    if (line.compare(0, label.size(), label) == 0) {
      return fuzz::Narrow(line.substr(label.size(), line.size() - label.size() - 1));
    }
  }
  return "(missing)";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text = fuzz::Units(data, size);
  const std::string bytes = SingleByteText(text);
  // The escape and CR make the form ambiguous only where the text holds them
  // itself. A lone surrogate is escaped as itself and reads back as itself.
  if (text.find_first_of(u"<\r") == std::u16string::npos) FUZZ_CHECK(FromSingleByte(bytes) == text);
  for (char16_t unit : ShownPath(text)) FUZZ_CHECK(unit >= 0x20 && unit != 0x7F);

  if (size < 9) return 0;
  int64_t value;
  std::memcpy(&value, data, sizeof value);
  const int width = data[8] % 24;
  FUZZ_CHECK(fuzz::Narrow(Decimal(value, width)) == Printf("%0*" PRId64, width, value));
  const uint64_t bytes_count = static_cast<uint64_t>(value);
  FUZZ_CHECK(fuzz::Narrow(UnsignedDecimal(bytes_count)) == Printf("%" PRIu64, bytes_count));
  FUZZ_CHECK(fuzz::Narrow(UpperHex(static_cast<uint32_t>(value))) ==
             Printf("%X", static_cast<unsigned>(static_cast<uint32_t>(value))));

  Counters.ByteCount = bytes_count;
  const std::vector<std::u16string> lines = SummaryLines(0, true);
  FUZZ_CHECK(SummaryValue(lines, u"Size (Byte)    : ") == Printf("%" PRIu64, bytes_count));
  FUZZ_CHECK(SummaryValue(lines, u"Size (KB)      : ") == Printf("%" PRIu64, bytes_count >> 10));
  FUZZ_CHECK(SummaryValue(lines, u"Size (MB)      : ") ==
             ReferenceTwoDecimals(static_cast<double>(bytes_count) / 1048576.0));
  FUZZ_CHECK(SummaryValue(lines, u"Size (GB)      : ") ==
             ReferenceTwoDecimals(static_cast<double>(bytes_count) / 1073741824.0));
  return 0;
}
