#include "file_list.h"

#include <algorithm>

#include "../../platform/platform.h"
#include "../../platform/utf8.h"
#include "exclude.h"

namespace vx {

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
    if (!AddListed(list, DecodeFileName(record))) {
      *bad_record = number;
      return false;
    }
  }
  return true;
}

bool AddListed(FileList* list, std::u16string_view entry) {
  std::u16string path;
  if (!NormalisedRelativePath(entry, &path)) return false;
  const std::u16string folded = ComparedName(path, true);
  list->listed.emplace(folded, path);
  for (size_t cut = folded.find(kPathSeparator); cut != std::u16string::npos;
       cut = folded.find(kPathSeparator, cut + 1)) {
    list->on_the_way.insert(folded.substr(0, cut));
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
