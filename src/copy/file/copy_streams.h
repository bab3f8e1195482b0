// Named data streams (/Streams): each one of a file or directory is copied
// to the new object with its data, counted in Size.
#pragma once

#include <string>
#include <string_view>

#include "../../platform/platform.h"

namespace vx {

// Copies every named stream of `source` to `destination`, which has none
// yet, each made anew relative to its handle. A report names the stream
// (the object's path, then the stream's name) in a context starting with
// `context_prefix`. Where the platform or the file system has no named
// streams, there is nothing to do. Returns false after reporting, or after
// a request to stop.
bool CopyStreams(HANDLE source, HANDLE destination, const std::u16string& source_path,
                 const std::u16string& destination_path, std::u16string_view context_prefix);

}  // namespace vx
