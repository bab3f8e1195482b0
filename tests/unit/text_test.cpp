#include "report/text.h"

#include <gtest/gtest.h>

#include "report/json_log.h"
#include "report/sink.h"
#include "platform/utf8.h"

namespace vx {
namespace {

std::string Narrow(const std::u16string& text) {
  return SingleByteText(text);
}

// Days before and after leap days and centuries, and the milliseconds.
TEST(UtcTimeTextTest, CalendarDatesFromFileTimeTicks) {
  const struct {
    uint64_t seconds_since_1601;
    uint64_t extra_ticks;
    const char* text;
  } cases[] = {
      {0, 0, "1601-01-01T00:00:00.000Z"},
      {11644473600, 0, "1970-01-01T00:00:00.000Z"},
      {12591244799, 9999999, "2000-01-01T23:59:59.999Z"},
      {12596256000, 0, "2000-02-29T00:00:00.000Z"},
      {13416823800, 1250000, "2026-03-01T07:30:00.125Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Narrow(UtcTimeText(c.seconds_since_1601 * 10000000 + c.extra_ticks)), c.text);
  }
}

// JSON strings: UTF-8, the escapes JSON requires, and a lone surrogate kept
// as its escape so that a name that is not Unicode reads back unit for unit.
TEST(JsonStringTest, Utf8EscapesAndLoneSurrogates) {
  const struct {
    std::u16string text;
    std::string json;
  } cases[] = {
      {u"plain", "\"plain\""},
      {u"q\"b\\", "\"q\\\"b\\\\\""},
      {u"tab\t\x7f", "\"tab\\u0009\\u007f\""},
      {u"\u00e9\u263a", "\"\xc3\xa9\xe2\x98\xba\""},
      {u"\U0001F600", "\"\xf0\x9f\x98\x80\""},
      {std::u16string(1, char16_t{0xDCE9}) + u"x", "\"\\udce9x\""},
      {std::u16string(1, char16_t{0xD800}), "\"\\ud800\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.text), c.json);
}

TEST(DecimalTest, PadsWithZerosAfterTheSignAndKeepsExtraDigits) {
  EXPECT_EQ(Narrow(Decimal(1, 6)), "000001");
  EXPECT_EQ(Narrow(Decimal(1000000, 6)), "1000000");
  EXPECT_EQ(Narrow(Decimal(-5, 2)), "-5");
  EXPECT_EQ(Narrow(Decimal(-5, 3)), "-05");
  EXPECT_EQ(Narrow(Decimal(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(Narrow(UnsignedDecimal(UINT64_MAX)), "18446744073709551615");
}

TEST(UpperHexTest, UpperCaseWithoutLeadingZeros) {
  EXPECT_EQ(Narrow(UpperHex(0x80000006)), "80000006");
  EXPECT_EQ(Narrow(UpperHex(0xC000000D)), "C000000D");
  EXPECT_EQ(Narrow(UpperHex(0)), "0");
}

// printf would round these halves to even; the summary rounds them up.
TEST(TwoDecimalsTest, RoundsHalfUpFromSeventeenDigits) {
  EXPECT_EQ(Narrow(TwoDecimals(0.125)), "0.13");
  EXPECT_EQ(Narrow(TwoDecimals(0.625)), "0.63");
  EXPECT_EQ(Narrow(TwoDecimals(0.0)), "0.00");
  EXPECT_EQ(Narrow(TwoDecimals(3072.0)), "3072.00");
  EXPECT_EQ(Narrow(TwoDecimals(3.0)), "3.00");
  EXPECT_EQ(Narrow(TwoDecimals(0.005)), "0.01");  // 0.005000000000000000104 at 17 digits
  EXPECT_EQ(Narrow(TwoDecimals(0.004999)), "0.00");
  EXPECT_EQ(Narrow(TwoDecimals(9.995)), "9.99");  // the double is 9.99499999999999921...
  EXPECT_EQ(Narrow(TwoDecimals(99.999)), "100.00");
  EXPECT_EQ(Narrow(TwoDecimals(131072.0 / 1048576.0)), "0.13");
  EXPECT_EQ(Narrow(TwoDecimals(2097152.0)), "2097152.00");
  EXPECT_EQ(Narrow(TwoDecimals(-0.125)), "-0.13");
}

TEST(SingleByteTextTest, Latin1BytesCrLfAndEscapesAboveFF) {
  EXPECT_EQ(SingleByteText(u"caf\u00e9\n"), "caf\xe9\r\n");
  EXPECT_EQ(SingleByteText(u"\u0416x"), "<U+0416>x");
  EXPECT_EQ(SingleByteText(u"\U0001F600"), "<U+1F600>");
  EXPECT_EQ(SingleByteText(std::u16string(1, char16_t(0xDC80)) + u"\n"), "<U+DC80>\r\n");
  EXPECT_EQ(SingleByteText(u"\n\n"), "\r\n\r\n");
}

// Each shown path has one reading: controls (C0, DEL, C1) are escaped, and
// so is a name's own "<U+", while everything else is left as it is.
TEST(ShownPathTest, ControlsAndEscapeLookalikesAreEscaped) {
  const struct {
    std::u16string name;
    std::u16string shown;
  } cases[] = {
      {u"plain caf\u00e9 <x> U+", u"plain caf\u00e9 <x> U+"},
      {u"a\nb\tc\u007F", u"a<U+000A>b<U+0009>c<U+007F>"},
      {u"\u0080\u009B[2J\u009F\u00A0", u"<U+0080><U+009B>[2J<U+009F>\u00A0"},
      {u"<U+000A>", u"<U+003C>U+000A>"},
      {u"<<U+", u"<<U+003C>U+"},
      {u"ends <U", u"ends <U"},
  };
  for (const auto& each : cases) {
    EXPECT_EQ(ShownPath(each.name), each.shown) << SingleByteText(each.name);
  }
}

// The UTF-8 form: every name readable by grep and less, each written path
// with one reading (a byte that is not UTF-8 and a name's own "\x" both as
// \xNN), and lines ending in LF.
TEST(Utf8TextTest, NamesAsUtf8BytesAsEscapesAndLfLineEnds) {
  const char16_t byte_e9[] = {u'c', u'a', u'f', 0xDCE9, 0};
  const char16_t lone[] = {u'a', 0xD800, u'b', 0};
  const struct {
    std::u16string path;
    std::string single_byte;  // as ShownPath and the sink write it without /Utf8
    std::string utf8;         // and with it
  } cases[] = {
      {u"\u65e5\u672c/caf\u00e9\n", "<U+65E5><U+672C>/caf\xe9<U+000A>",
       "\xe6\x97\xa5\xe6\x9c\xac/caf\xc3\xa9<U+000A>"},
      {byte_e9, "caf<U+DCE9>", "caf\\xE9"},
      {u"a\\x41 \\y", "a\\x41 \\y", "a\\x5Cx41 \\y"},
      {lone, "a<U+D800>b", "a<U+D800>b"},
      {u"\U0001F600", "<U+1F600>", "\xf0\x9f\x98\x80"},
  };
  for (const auto& c : cases) {
    WriteTextAsUtf8(false);
    EXPECT_EQ(SingleByteText(ShownPath(c.path)), c.single_byte);
    WriteTextAsUtf8(true);
    EXPECT_EQ(Utf8Text(ShownPath(c.path)), c.utf8);
  }
  EXPECT_EQ(Utf8Text(u"line\n"), "line\n");
  WriteTextAsUtf8(false);
}

// Names convert both ways whatever the length of their leading ASCII run
// and wherever another unit starts (a letter of two bytes, a byte that is
// no UTF-8), also into a string that held a longer name before.
TEST(FileNameTest, AsciiRunsOfEveryLengthAndWhatFollowsThem) {
  const struct {
    std::string bytes;
    std::u16string units;
  } others[] = {
      {"", u""}, {"\xc3\xa9", u"\u00e9"}, {"\xe9", std::u16string(1, char16_t{0xDCE9})}};
  std::u16string decoded(64, u'#');
  std::string encoded(64, '#');
  for (size_t length = 0; length < 20; ++length) {
    for (size_t at = 0; at <= length; ++at) {
      for (const auto& other : others) {
        std::string bytes;
        std::u16string units;
        for (size_t i = 0; i < length; ++i) {
          if (i == at) bytes += other.bytes, units += other.units;
          bytes += static_cast<char>('a' + i);
          units += static_cast<char16_t>(u'a' + i);
        }
        SCOPED_TRACE(bytes);
        EXPECT_EQ(DecodeFileName(bytes), units);
        EXPECT_EQ(EncodeFileName(units), bytes);
        DecodeFileNameInto(bytes, &decoded);
        EncodeFileNameInto(units, &encoded);
        EXPECT_EQ(decoded, units);
        EXPECT_EQ(encoded, bytes);
      }
    }
  }
}

}  // namespace
}  // namespace vx
