// An output sink: a byte stream written as single-byte text, or as UTF-8
// where the run asks for it (/Utf8).
//
// Single-byte: each UTF-16 unit up to U+00FF becomes the byte of the same
// value; every line feed goes out as CR LF; a unit above U+00FF is written
// as the escape <U+XXXX> (a surrogate pair as one escape for its code
// point), which no Windows file name can hold, so a line always names its
// file unambiguously.
//
// UTF-8: lines end in LF alone; a name's byte that is not UTF-8 (carried
// as U+DC80 + byte) is written \xNN, any other lone surrogate <U+XXXX>.
#pragma once

#include <string>
#include <string_view>

#include "../platform/platform.h"

namespace vx {

// While a run only plans what it would do (a silent /List pass), no sink
// writes anything.
void MuteSinks(bool muted);

class Sink {
 public:
  enum class Delivery {
    kEveryLine,  // handed over at the end of each line (a console window)
    kBlocks,     // collected and handed over in blocks of 4,096 bytes
  };
  static constexpr size_t kBlockBytes = 4096;

  // Takes over an open handle; Close() releases it.
  void Attach(HANDLE handle, Delivery delivery, bool owns_handle);
  bool IsOpen() const { return handle_ != nullptr; }

  // Writes one line (or part of one) in the text form above.
  void Write(std::u16string_view text);
  // Writes bytes as they are (a UTF-8 record), delivered as text is.
  void WriteBytes(std::string_view bytes);
  // Hands every collected byte to the operating system.
  void Flush();
  // Flushes, closes the handle if it is ours, and leaves the sink closed.
  void Close();

 private:
  void HandOver(const char* bytes, size_t count);

  HANDLE handle_ = nullptr;
  Delivery delivery_ = Delivery::kBlocks;
  bool owns_handle_ = false;
  std::string pending_;
};

// Encodes text in the sinks' single-byte form.
std::string SingleByteText(std::u16string_view text);
// Encodes text in the sinks' UTF-8 form.
std::string Utf8Text(std::u16string_view text);
// Which form every sink writes text in from now on (single-byte until
// asked), and which it writes.
void WriteTextAsUtf8(bool utf8);
bool TextIsUtf8();

// A path as every line shows it: a control character (U+0000 to U+001F,
// U+007F to U+009F, which a Linux name may hold; U+009B starts a control
// sequence on 8-bit terminals) becomes the escape <U+XXXX>, so a name can
// never start a line of its own or drive a terminal; so does a '<' that
// begins "<U+" in the name, so every escape has one reading; in the UTF-8
// form so does a '\\' that begins "\\x" (written \\x5C).
std::u16string ShownPath(std::u16string_view path);

}  // namespace vx
