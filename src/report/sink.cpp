#include "sink.h"

#include <atomic>

#include "../platform/utf8.h"
#include "text.h"

namespace vx {

namespace {
std::atomic<bool> g_utf8{false};
std::atomic<bool> g_muted{false};

// A name's byte that is not UTF-8 is carried as U+DC00 + byte (0x80 and
// up); ShownPath marks a name's backslash before "x" as U+DC00 + '\\', so
// that the UTF-8 form writes both as \xNN.
constexpr char16_t kByteCarrier = 0xDC00;

// <U+XXXX>, with at least four hexadecimal digits.
std::u16string Escape(uint32_t code_point) {
  std::u16string hex = UpperHex(code_point);
  return u"<U+" + std::u16string(hex.size() < 4 ? 4 - hex.size() : 0, u'0') + hex + u">";
}

void AppendEscape(std::string* out, uint32_t code_point) {
  for (char16_t unit : Escape(code_point)) out->push_back(static_cast<char>(unit));
}
}  // namespace

std::u16string ShownPath(std::u16string_view path) {
  std::u16string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    const char16_t unit = path[i];
    const bool control = unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
    // A name's own "<U+" is escaped too, so every escape has one reading.
    const bool looks_escaped = unit == u'<' && path.substr(i + 1, 2) == u"U+";
    const bool looks_byte = unit == u'\\' && i + 1 < path.size() && path[i + 1] == u'x' &&
                            g_utf8.load(std::memory_order_relaxed);
    if (control || looks_escaped) {
      out += Escape(unit);
    } else if (looks_byte) {
      out.push_back(static_cast<char16_t>(kByteCarrier + u'\\'));
    } else {
      out.push_back(unit);
    }
  }
  return out;
}

std::string SingleByteText(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t unit = text[i];
    if (unit == u'\n') {
      out.append("\r\n");
    } else if (unit <= 0xFF) {
      out.push_back(static_cast<char>(unit));
    } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      AppendEscape(&out, 0x10000 + ((unit - 0xD800u) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else {
      AppendEscape(&out, unit);
    }
  }
  return out;
}

std::string Utf8Text(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(&out, 0x10000 + ((unit - 0xD800u) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if (unit >= kByteCarrier && unit <= kByteCarrier + 0xFF) {
      const uint32_t byte = unit - kByteCarrier;
      if (byte >= 0x80 || byte == u'\\') {
        static const char kHex[] = "0123456789ABCDEF";
        out += "\\x";
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0xF]);
      } else {
        AppendEscape(&out, unit);
      }
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendEscape(&out, unit);
    } else {
      AppendUtf8(&out, unit);
    }
  }
  return out;
}

void WriteTextAsUtf8(bool utf8) {
  g_utf8.store(utf8);
}
bool TextIsUtf8() {
  return g_utf8.load(std::memory_order_relaxed);
}

void Sink::Attach(HANDLE handle, Delivery delivery, bool owns_handle) {
  handle_ = handle;
  delivery_ = delivery;
  owns_handle_ = owns_handle;
  pending_.clear();
}

void Sink::Write(std::u16string_view text) {
  WriteBytes(g_utf8.load(std::memory_order_relaxed) ? Utf8Text(text) : SingleByteText(text));
}

void MuteSinks(bool muted) {
  g_muted.store(muted, std::memory_order_relaxed);
}

void Sink::WriteBytes(std::string_view bytes) {
  if (!IsOpen() || g_muted.load(std::memory_order_relaxed)) return;
  pending_ += bytes;
  if (delivery_ == Delivery::kEveryLine) {
    Flush();
    return;
  }
  size_t full = pending_.size() / kBlockBytes * kBlockBytes;
  if (full > 0) {
    HandOver(pending_.data(), full);
    pending_.erase(0, full);
  }
}

void Sink::Flush() {
  if (!IsOpen() || pending_.empty()) return;
  HandOver(pending_.data(), pending_.size());
  pending_.clear();
}

void Sink::Close() {
  if (!IsOpen()) return;
  Flush();
  if (owns_handle_) Os().CloseHandle(handle_);
  handle_ = nullptr;
}

// A sink that cannot be written (a full disk, a closed pipe) is not reported:
// the rest of the bytes are dropped and the run goes on.
void Sink::HandOver(const char* bytes, size_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!Os().WriteFile(handle_, bytes, static_cast<DWORD>(count), &written, nullptr) ||
        written == 0) {
      return;
    }
    bytes += written;
    count -= written;
  }
}

}  // namespace vx
