// Tidying a destination directory once its entries are copied: leftovers
// of killed runs and, with /Mirror, what the source no longer has.
#pragma once

#include <cstddef>
#include <string_view>

#include "../directory.h"

namespace vx {

// Tidies a destination directory the run did not make, once all its
// source's entries are copied; false where the source root looked empty to
// /Mirror. `waits_for_name` says which temporary names are replacements of
// this run still waiting for their names, not leftovers.
bool TidyDestination(const Directory& directory, size_t destination_root_length,
                     bool (*waits_for_name)(std::u16string_view));

}  // namespace vx
