#include "sink.h"

#include "text.h"

namespace vx {

namespace {
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
    if (control || looks_escaped) {
      out += Escape(unit);
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

void Sink::Attach(HANDLE handle, Delivery delivery, bool owns_handle) {
  handle_ = handle;
  delivery_ = delivery;
  owns_handle_ = owns_handle;
  pending_.clear();
}

void Sink::Write(std::u16string_view text) {
  WriteBytes(SingleByteText(text));
}

void Sink::WriteBytes(std::string_view bytes) {
  if (!IsOpen()) return;
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
