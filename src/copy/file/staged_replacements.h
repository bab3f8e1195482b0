// A new version takes an existing name only once its data is on disk. Some
// file systems (XFS among them) write a rename to their log before the data
// of the file renamed: a power cut then leaves the name with an empty or cut
// file, neither the old version nor the new. Flushing each replacement alone
// would cost a flush per file; instead replacements wait, complete, under
// their temporary names, and a batch of them is made durable with one flush
// of its volume and then renamed in, old to new in one step each.
//
// A batch is put in place when it holds kStagedFiles files, when the walk
// has left kStagedDirectories directories that still wait for names, when
// its oldest file has waited kStagedSeconds, before a directory's handle is
// closed, and before a volume's final flush. A directory the walk left
// keeps its handles in the batch, and gets its times again once the batch's
// names are in (a rename changes its write time).
#pragma once

#include <string>
#include <string_view>

#include "../../platform/platform.h"
#include "../identity.h"
#include "../place.h"

namespace vx {

constexpr size_t kStagedFiles = 1024;
constexpr size_t kStagedDirectories = 32;
constexpr int kStagedSeconds = 5;

// Whether the file written as `temporary` to replace `replaced` at
// `destination` waits for a batch: a walk's directory, a file not in a
// group of names (whose later names link to it), and a volume the run
// flushes whole (else each file is flushed before its name, or, with
// /Flush, is already).
bool StagesReplacement(const Place& destination, HANDLE replaced, const std::u16string& temporary,
                       bool several_names);

// Takes `file`, complete under `temporary`, to be put at `destination`'s
// name with the next batch; `replaced` is the identity of the file at that
// name, which stays a file the run took until then.
void StageReplacement(HANDLE file, std::u16string temporary, const FileIdentity& replaced,
                      const Place& destination);

// Whether `name` is a temporary name a staged file waits under (not a
// leftover of a killed run).
bool IsStagedName(std::u16string_view name);

// The walk is done with a directory: where files wait for names in it, the
// batch keeps its handles (true: the caller closes neither) and, where
// `times_set`, sets its times from the source again after the renames.
bool AdoptStagedDirectory(HANDLE destination, HANDLE source, const BY_HANDLE_FILE_INFORMATION& info,
                          bool times_set);

// Puts every waiting file at its name where one of them waits in
// `directory`, whose handle is about to be closed.
void PutStagedIn(HANDLE directory);

// Puts every waiting file at its name: one flush per volume, then the
// renames, in the order staged. A file whose rename fails is reported and
// removed; its old version stays.
void PutStaged();

}  // namespace vx
