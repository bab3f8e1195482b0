// Moving a file's data from a source handle to a destination handle.
#pragma once

#include <cstdint>
#include <string>

#include "../../platform/platform.h"

namespace vx {

// Moves the data, inside the kernel where the platform can (holes stay
// holes), else through the thread's copy buffer. Whatever the kernel copy cannot do, for
// any reason, the buffer does for the rest of the file, so a failure is
// still reported by the read or the write that meets it. A file that ends
// before `size` or goes on past it changed under the reader: no more than
// one buffer beyond `size` is read (a pseudo file reporting 0 or a nominal
// size never fills the disk). Once `size` bytes are in, no read looks for
// the end: the look after the copy (SourceUnchanged) sees a file that grew.
// `source` and `destination` name the two in reports. Returns false after
// reporting, or after a request to stop.
bool CopyData(HANDLE source_file, HANDLE destination_file, const std::u16string& source,
              const std::u16string& destination, uint64_t size);

// The buffer the calling thread's copies go through: a worker's own, or
// COPYBUFFER where none was given (nullptr gives it back).
void UseCopyBuffer(void* buffer);
void* ThreadCopyBuffer();

// Reports a source that ended before its size, went on past it, or changed
// while it was copied (ERROR_FILE_INVALID); returns false.
bool ReportSourceChanged(const std::u16string& source);

// Whether a sparse source is copied range by range: where the platform
// finds the ranges that hold data and the source is marked sparse.
inline bool CopiesSparse(DWORD source_attributes) {
  return (source_attributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0 &&
         Os().GetAllocatedRanges != nullptr && Os().SetSparse != nullptr &&
         Os().SetFilePointerEx != nullptr && Os().SetEndOfFile != nullptr;
}

// CopyData for a sparse source: the destination is made sparse and only
// the ranges that hold data are read and written; Size counts the holes
// too, as the kernel copy does.
bool CopySparseData(HANDLE source_file, HANDLE destination_file, const std::u16string& source,
                    const std::u16string& destination, uint64_t size);

}  // namespace vx
