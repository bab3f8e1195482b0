// Raw copies of encrypted files: their ciphertext as it is, no key needed.
#pragma once

namespace vx::win32 {

// Copies the encrypted file at the full path `from` raw (its encrypted
// data, streams and key information, exported under the backup privilege)
// into a new file at the full path `to` (imported under the restore
// privilege). Returns ERROR_SUCCESS or the failing call's code; whatever
// the import made of `to` is left to the caller.
unsigned long CopyEncryptedRaw(const wchar_t* from, const wchar_t* to);

// What a raw copy reports from its two halves' codes (0: success): the
// import's own failure, unless the export failed first; an export cut short
// by the import's end (ERROR_OPERATION_ABORTED) failed for that alone.
constexpr unsigned long RawCopyResult(unsigned long export_result, unsigned long import_result) {
  constexpr unsigned long kOperationAborted = 995;
  if (import_result != 0 && (export_result == 0 || export_result == kOperationAborted)) {
    return import_result;
  }
  return export_result != 0 ? export_result : import_result;
}

}  // namespace vx::win32
