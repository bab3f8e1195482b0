#include "file_list.h"

#include <algorithm>

#include "../platform/platform.h"
#include "exclude.h"

namespace vx {

namespace {

// UTF-8 to UTF-16, every byte outside a valid sequence kept as U+DC80 + byte.
std::u16string DecodeUtf8(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1, value = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, value = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= bytes.size();
    for (size_t k = 1; valid && k < length; ++k) {
      valid = (byte(i + k) & 0xC0) == 0x80;
      value = (value << 6) | (byte(i + k) & 0x3F);
    }
    valid = valid && value >= minimum && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
    if (!valid) {
      out.push_back(static_cast<char16_t>(0xDC00 + lead));
      ++i;
      continue;
    }
    if (value >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(value));
    }
    i += length;
  }
  return out;
}

}  // namespace

bool ParseFileList(std::string_view bytes, bool nul_separated, FileList* list,
                   size_t* bad_record) {
  *list = FileList{};
  list->active = true;
  const char end = nul_separated ? '\0' : '\n';
  size_t number = 0;
  for (size_t start = 0; start < bytes.size();) {
    size_t stop = bytes.find(end, start);
    if (stop == std::string_view::npos) stop = bytes.size();
    std::string_view record = bytes.substr(start, stop - start);
    start = stop + 1;
    ++number;
    if (!nul_separated && !record.empty() && record.back() == '\r') record.remove_suffix(1);
    if (record.empty()) continue;
    std::u16string path;
    if (!NormalisedRelativePath(DecodeUtf8(record), &path)) {
      *bad_record = number;
      return false;
    }
    const std::u16string folded = ComparedName(path, true);
    list->listed.emplace(folded, path);
    for (size_t cut = folded.find(kPathSeparator); cut != std::u16string::npos;
         cut = folded.find(kPathSeparator, cut + 1)) {
      list->on_the_way.insert(folded.substr(0, cut));
    }
  }
  return true;
}

ListSays AskList(FileList* list, std::u16string_view relative) {
  const std::u16string folded = ComparedName(relative, true);
  if (list->listed.count(folded) != 0) {
    list->met.insert(folded);
    return ListSays::kListed;
  }
  for (size_t cut = folded.find(kPathSeparator); cut != std::u16string::npos;
       cut = folded.find(kPathSeparator, cut + 1)) {
    if (list->listed.count(folded.substr(0, cut)) != 0) return ListSays::kBelowListed;
  }
  return list->on_the_way.count(folded) != 0 ? ListSays::kPassOn : ListSays::kLeave;
}

std::vector<std::u16string> Unmet(const FileList& list) {
  std::vector<std::u16string> unmet;
  for (const auto& [folded, spelled] : list.listed) {
    if (list.met.count(folded) == 0) unmet.push_back(spelled);
  }
  std::sort(unmet.begin(), unmet.end());
  return unmet;
}

}  // namespace vx
