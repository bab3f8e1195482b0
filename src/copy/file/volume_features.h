// What each destination volume keeps (sparse files, named streams), asked
// once a volume a run, so a copy never fails on what a USB disk or a NAS share
// cannot hold: it is made without it.
#pragma once

#include <string_view>

#include "../../platform/platform.h"

namespace vx {

// Whether the volume that holds the open `destination` keeps sparse files;
// yes where the platform or the volume cannot say.
bool KeepsSparseFiles(HANDLE destination);

// Whether it keeps named streams; where it does not, one NOTE a run for
// that volume names `subject` (the first object whose streams it leaves
// out).
bool KeepsNamedStreams(HANDLE destination, std::u16string_view subject);

// What a volume may refuse to hold (FAT, exFAT, exFAT through FUSE).
enum class VolumeLack : unsigned {
  kHardLinks = 1,     // each further name is then copied as a file
  kLinks = 2,         // each link is then an ERR
  kSpecialFiles = 4,  // each special file is then an ERR
};

// Where `code` is the volume's refusal of what `lack` names (the request is
// not supported), says so once a run for the volume that holds the open
// `destination`, in a NOTE naming `subject`.
void NoteRefusal(HANDLE destination, DWORD code, VolumeLack lack, std::u16string_view subject);

}  // namespace vx
