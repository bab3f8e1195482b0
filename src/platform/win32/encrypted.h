// Raw copies of encrypted files: their ciphertext as it is, no key needed.
#pragma once

namespace vx::win32 {

// Copies the encrypted file at the full path `from` raw (its encrypted
// data, streams and key information, exported under the backup privilege)
// into a new file at the full path `to` (imported under the restore
// privilege). Returns ERROR_SUCCESS or the failing call's code; whatever
// the import made of `to` is left to the caller.
unsigned long CopyEncryptedRaw(const wchar_t* from, const wchar_t* to);

}  // namespace vx::win32
