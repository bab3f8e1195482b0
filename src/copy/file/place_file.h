// Placing a copy: its security, times and attributes, then its name.
#pragma once

#include <string>

#include "../../platform/platform.h"
#include "../identity.h"
#include "../place.h"

namespace vx {

// What the run writes under a temporary name, each kind with the security
// it gets where /SecurityDescriptor does not give the source's.
enum class NewObject {
  kFile,     // the replaced file's, or a new file's
  kLink,     // none but its own: a link's security is its creator's
  kSpecial,  // a new file's
};

// Gives the object `made`, written as `temporary` in the destination
// directory, its times, security and attributes (read-only last: it takes
// no more writes), then puts it at its name. `*replaced`, the object at the
// name or none, is closed first: nothing may hold it open while its name is
// taken over. With `name_later`, all but the name: the caller stages it
// (staged_replacements.h). Returns false after reporting; the caller
// removes `made`.
bool PutInPlace(HANDLE source_object, const BY_HANDLE_FILE_INFORMATION& source_info,
                HANDLE* replaced, HANDLE made, const std::u16string& temporary, const Place& source,
                const Place& destination, NewObject kind, bool name_later = false);

// Gives the copy at `destination`, whose data is up to date, the source's
// security (with /SecurityDescriptor) and attributes (with /Attributes) in
// place, its data and times untouched. Returns false after reporting.
bool RefreshMetadata(HANDLE source_object, const Place& source, const Place& destination);

// Gives the file written under its temporary name the security it is to
// have at its name: the source's with /SecurityDescriptor; else the replaced
// file's (what writing into it kept), or a new file's. Returns false after
// reporting.
bool SecureTemporaryFile(HANDLE source_file, HANDLE replaced, HANDLE file, const Place& source,
                         const Place& destination);

// Notes the object just put at `destination` among what the run wrote in
// its directory, where a later name could collide with it. Its identity is
// looked up only where that, or the caller (`wanted`), needs it; unknown
// otherwise.
FileIdentity NoteWritten(HANDLE made, const Place& destination, bool wanted = false);

}  // namespace vx
