#include "utf8.h"

#include <cstdint>
#include <type_traits>

namespace vx {

namespace {
constexpr char16_t kEscapeBase = 0xDC00;  // + byte (0x80..0xFF)

// Length of the valid UTF-8 sequence at `s`, or 0 if it is not one. Rejects
// overlong forms, surrogates and values beyond U+10FFFF, so that decoding and
// encoding stay each other's inverse.
size_t ValidSequence(std::string_view s, char32_t* code_point) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  auto continuation = [&](size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
  unsigned char lead = byte(0);
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  size_t length;
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if (!continuation(i)) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

}  // namespace

void AppendUtf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Most names are ASCII, whose units and bytes are the same numbers: that
// leading run is carried over at once, eight units a step, each step
// judged after it is copied (what it copied past the run is cut off). A
// name's last units, fewer than a step, are taken by one more step that
// ends at its end, overlapping units already copied with the same values.
// The target is written through a pointer of its own: a byte stored
// through the string could be its own length or pointer, as far as the
// compiler knows, which would be read again for every unit.
template <typename To, typename From>
size_t CopyAsciiRun(const From& from, To* out) {
  using Unit = typename To::value_type;
  using Source = std::make_unsigned_t<typename From::value_type>;
  const auto* source = from.data();
  const size_t size = from.size();
  out->resize(size);
  Unit* target = out->data();
  constexpr size_t kStep = 8;
  // Whether the step's units from `at` on are all ASCII.
  auto step = [&](size_t at) {
    uint32_t seen = 0;
#pragma GCC unroll 8
    for (size_t i = 0; i < kStep; ++i) {
      const uint32_t unit = static_cast<Source>(source[at + i]);
      seen |= unit;
      target[at + i] = static_cast<Unit>(unit);
    }
    return seen < 0x80;
  };
  size_t ascii = 0;
  while (ascii + kStep <= size && step(ascii)) ascii += kStep;
  if (ascii < size && size >= kStep && ascii + kStep > size && step(size - kStep)) ascii = size;
  while (ascii < size && static_cast<Source>(source[ascii]) < 0x80) {
    target[ascii] = static_cast<Unit>(source[ascii]);
    ++ascii;
  }
  out->resize(ascii);
  return ascii;
}

std::u16string DecodeFileName(std::string_view bytes) {
  std::u16string out;
  DecodeFileNameInto(bytes, &out);
  return out;
}

void DecodeFileNameInto(std::string_view bytes, std::u16string* into) {
  std::u16string& out = *into;
  bytes.remove_prefix(CopyAsciiRun(bytes, &out));
  if (bytes.empty()) return;
  out.reserve(out.size() + bytes.size());
  while (!bytes.empty()) {
    char32_t cp;
    size_t length = ValidSequence(bytes, &cp);
    if (length == 0) {
      out.push_back(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[0])));
      length = 1;
    } else if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    bytes.remove_prefix(length);
  }
}

std::string EncodeFileName(std::u16string_view text) {
  std::string out;
  EncodeFileNameInto(text, &out);
  return out;
}

void EncodeFileNameInto(std::u16string_view text, std::string* into) {
  std::string& out = *into;
  const size_t ascii = CopyAsciiRun(text, &out);
  if (ascii == text.size()) return;
  out.reserve(text.size() * 3);
  for (size_t i = ascii; i < text.size(); ++i) {
    char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(&out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF) {
      out.push_back(static_cast<char>(unit - kEscapeBase));
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      // Any other lone surrogate has no byte form; U+FFFD keeps the name
      // visible rather than silently dropping a unit.
      AppendUtf8(&out, 0xFFFD);
    } else {
      AppendUtf8(&out, unit);
    }
  }
}

}  // namespace vx
