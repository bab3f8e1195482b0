#include "copy_streams.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "../../report/report.h"
#include "../access.h"
#include "copy_data.h"
#include "volume_features.h"

namespace vx {

namespace {

// The object's own data, listed among its streams.
constexpr std::u16string_view kOwnData = u"::$DATA";
// A stream list outgrowing this is refused rather than followed.
constexpr DWORD kMaxStreamListBytes = 16 << 20;

// Answers of a file system that keeps no named streams (FAT, a network
// file system without them), or of an object without any.
bool HasNoStreams(DWORD code) {
  return code == ERROR_HANDLE_EOF || code == ERROR_INVALID_PARAMETER ||
         code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION;
}

void Report(const std::u16string& subject, std::u16string_view prefix, std::u16string_view call,
            DWORD code) {
  ReportWin32Error(subject, std::u16string(prefix) + std::u16string(call), code);
}

}  // namespace

bool CopyStreams(HANDLE source, HANDLE destination, const std::u16string& source_path,
                 const std::u16string& destination_path, std::u16string_view context_prefix) {
  if (Os().GetStreamInformation == nullptr || Os().CreateStreamW == nullptr) return true;
  thread_local std::vector<unsigned char> records(4096);
  while (!Os().GetStreamInformation(source, records.data(), static_cast<DWORD>(records.size()))) {
    const DWORD code = Os().GetLastError();
    if (HasNoStreams(code)) return true;
    if (code != ERROR_MORE_DATA || records.size() >= kMaxStreamListBytes) {
      Report(source_path, context_prefix, u"GetFileInformationByHandleEx(SOURCE)", code);
      return false;
    }
    records.resize(records.size() * 2);
  }
  constexpr size_t kHeaderBytes = offsetof(FILE_STREAM_INFO, StreamName);
  for (size_t at = 0;;) {
    FILE_STREAM_INFO header;
    if (at + kHeaderBytes > records.size()) return true;
    std::memcpy(&header, records.data() + at, kHeaderBytes);
    // A record is trusted no further than the buffer.
    const size_t units =
        std::min<size_t>(header.StreamNameLength, records.size() - at - kHeaderBytes) /
        sizeof(char16_t);
    std::u16string name(units, u'\0');
    std::memcpy(name.data(), records.data() + at + kHeaderBytes, units * sizeof(char16_t));
    if (name != kOwnData) {
      // A destination volume without streams gets the object's own data.
      if (!KeepsNamedStreams(destination, destination_path)) return true;
      const std::u16string from = source_path + name;
      const std::u16string to = destination_path + name;
      HANDLE in = Os().CreateStreamW(source, name.c_str(), GENERIC_READ, OPEN_EXISTING);
      if (in == INVALID_HANDLE_VALUE) {
        Report(from, context_prefix, u"CreateFile(SOURCE)", Os().GetLastError());
        return false;
      }
      HANDLE out = Os().CreateStreamW(destination, name.c_str(), GENERIC_WRITE, CREATE_NEW);
      if (out == INVALID_HANDLE_VALUE) {
        Report(to, context_prefix, u"CreateFile(DESTINATION)", Os().GetLastError());
        Os().CloseHandle(in);
        return false;
      }
      const bool copied = CopyData(in, out, from, to, static_cast<uint64_t>(header.StreamSize));
      Os().CloseHandle(out);
      Os().CloseHandle(in);
      if (!copied) return false;
    }
    if (header.NextEntryOffset == 0) return true;
    at += header.NextEntryOffset;
  }
}

}  // namespace vx
