// What history copies rather than moves: a version kept across volumes,
// and the security its folders take.
#include "history_copy.h"

#include <vector>

#include "../../report/report.h"
#include "../access.h"

namespace vx {

namespace {
constexpr DWORD kDescribed =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
}  // namespace

bool SecureLike(HANDLE like, HANDLE object) {
  std::vector<unsigned char> descriptor(kSecurityBufferBytes);
  DWORD needed = 0;
  return Os().GetKernelObjectSecurity(like, kDescribed, descriptor.data(),
                                      static_cast<DWORD>(descriptor.size()), &needed) &&
         Os().SetKernelObjectSecurity(object, kDescribed, descriptor.data());
}

bool CopyVersion(HANDLE directory, const char16_t* name, const BY_HANDLE_FILE_INFORMATION& info,
                 HANDLE folder, const std::u16string& leaf, const std::u16string& path) {
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) {
    ReportWin32Error(path, u"History:CopyFile(HISTORY)", ERROR_NOT_SAME_DEVICE);
    return false;
  }
  HANDLE from = Os().CreateFileAtW(directory, name, GENERIC_READ | READ_CONTROL, kShareAll,
                                   OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE to = from == INVALID_HANDLE_VALUE
                  ? INVALID_HANDLE_VALUE
                  : Os().CreateFileAtW(folder, leaf.c_str(),
                                       GENERIC_READ | GENERIC_WRITE | WRITE_DAC | WRITE_OWNER, 0,
                                       CREATE_NEW,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  bool done = to != INVALID_HANDLE_VALUE;
  std::vector<unsigned char> buffer(done ? 1 << 20 : 0);
  for (DWORD got = 0; done;) {
    DWORD put = 0;
    done = Os().ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
    if (!done || got == 0) break;
    done = Os().WriteFile(to, buffer.data(), got, &put, nullptr) && put == got;
  }
  done = done && SecureLike(from, to) &&
         (Os().CopyAttributes == nullptr || Os().CopyAttributes(from, to)) &&
         CopyTimes(from, info, to);
  const DWORD code = Os().GetLastError();
  if (from != INVALID_HANDLE_VALUE) Os().CloseHandle(from);
  if (to != INVALID_HANDLE_VALUE) Os().CloseHandle(to);
  if (!done) {
    if (to != INVALID_HANDLE_VALUE) Os().DeleteFileAtW(folder, leaf.c_str());
    ReportWin32Error(path, u"History:CopyFile(HISTORY)", code);
  }
  return done;
}

}  // namespace vx
