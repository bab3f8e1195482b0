// The JSON log of /JsonLog:: one UTF-8 JSON object per line, for the run's
// start, each directory, file, excluded entry, removal, retry, error and
// note, and the summary. Paths are the UTF-16 names as the run holds them:
// a lone surrogate (a Windows name that is not valid UTF-16, or a byte of a
// Linux name that is not valid UTF-8, carried as U+DC80 + byte) is written
// as its \uXXXX escape, so every name reads back exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vx {

// A JSON string literal for the text, quotes included.
std::string JsonString(std::u16string_view text);

// One record, built field by field and written whole as one line.
class JsonRecord {
 public:
  explicit JsonRecord(std::string_view kind);
  JsonRecord& Text(std::string_view key, std::u16string_view value);
  JsonRecord& Number(std::string_view key, int64_t value);
  JsonRecord& Unsigned(std::string_view key, uint64_t value);
  // A value already in JSON form (an object).
  JsonRecord& Raw(std::string_view key, std::string_view json);
  // Writes the record to the JSON log, if one is open.
  void Write();

 private:
  void Key(std::string_view key);
  std::string line_;
};

// Whether a JSON log is open, so that callers skip building a record.
bool JsonLogOpen();

}  // namespace vx
