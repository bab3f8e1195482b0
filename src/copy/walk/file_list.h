// /Files: and /Files0:: a run that copies only the entries a list names,
// with the directories on the way to them, so a tree can be split into
// lists and each list copied by its own run (on its own host).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vx {

struct FileList {
  bool active = false;
  // Paths below the source root, folded as the volumes compare names, each
  // with its spelling in the list.
  std::unordered_map<std::u16string, std::u16string> listed;
  // Every directory on the way to a listed entry.
  std::unordered_set<std::u16string> on_the_way;
  // The listed entries the walk has met.
  std::unordered_set<std::u16string> met;
};

// Reads a list's bytes: UTF-8, one path below the source root per line (LF
// or CR LF) or, `nul_separated`, per NUL-ended record; empty records are
// skipped. A byte that is not part of valid UTF-8 is carried as the lone
// surrogate U+DC80 + byte, as the Linux build carries such a name, so every
// name can be listed. False where an entry can never name one (a "." or
// ".." part), with its record's number (from 1) in `*bad_record`.
bool ParseFileList(std::string_view bytes, bool nul_separated, FileList* list,
                   size_t* bad_record);

// Adds one path below the source root to the list; false where it can
// never name an entry (a "." or ".." part).
bool AddListed(FileList* list, std::u16string_view path);

// What the walk does with the entry at `relative` below the root.
enum class ListSays {
  kListed,        // named by the list: copied as in any run
  kBelowListed,   // below a listed directory: copied as in any run
  kPassOn,        // a directory on the way to a listed entry: entered for it
  kLeave,         // none of these
};
ListSays AskList(FileList* list, std::u16string_view relative);

// The listed entries the walk never met, as the list spells them.
std::vector<std::u16string> Unmet(const FileList& list);

}  // namespace vx
