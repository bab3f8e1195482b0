#include "json_log.h"

#include "../platform/utf8.h"
#include "books.h"

namespace vx {

namespace {

void AppendEscape(std::string* out, char16_t unit) {
  static const char kHex[] = "0123456789abcdef";
  out->append("\\u");
  for (int shift = 12; shift >= 0; shift -= 4) out->push_back(kHex[unit >> shift & 0xF]);
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit == u'"' || unit == u'\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(unit));
    } else if (unit < 0x20 || unit == 0x7F) {
      AppendEscape(&out, unit);
    } else if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(&out, 0x10000 + ((unit - 0xD800u) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendEscape(&out, unit);  // no UTF-8 form: kept as the unit it is
    } else {
      AppendUtf8(&out, unit);
    }
  }
  out.push_back('"');
  return out;
}

JsonRecord::JsonRecord(std::string_view kind) {
  line_ = "{\"kind\":\"";
  line_ += kind;
  line_ += '"';
}

void JsonRecord::Key(std::string_view key) {
  line_ += ",\"";
  line_ += key;
  line_ += "\":";
}

JsonRecord& JsonRecord::Text(std::string_view key, std::u16string_view value) {
  Key(key);
  line_ += JsonString(value);
  return *this;
}

JsonRecord& JsonRecord::Number(std::string_view key, int64_t value) {
  Key(key);
  line_ += std::to_string(value);
  return *this;
}

JsonRecord& JsonRecord::Unsigned(std::string_view key, uint64_t value) {
  Key(key);
  line_ += std::to_string(value);
  return *this;
}

JsonRecord& JsonRecord::Raw(std::string_view key, std::string_view json) {
  Key(key);
  line_ += json;
  return *this;
}

void JsonRecord::Write() {
  if (!JsonLogOpen()) return;
  line_ += "}\n";
  Sinks.JsonLog.WriteBytes(line_);
}

bool JsonLogOpen() {
  return Sinks.JsonLog.IsOpen();
}

}  // namespace vx
