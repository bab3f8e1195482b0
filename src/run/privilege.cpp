#include "privilege.h"

#include <string>

#include "../platform/platform.h"
#include "../report/report.h"
#include "../report/text.h"

namespace vx {

namespace {
std::u16string Message(const char* before, const char* name, const char* after) {
  return Widen(before) + Widen(name) + Widen(after);
}
}  // namespace

int SetPrivilege(const char* name) {
  WriteConsoleUnlessSilent(Message("Try to set ", name, " privilege for current process.\n"));
  HANDLE token = nullptr;
  if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                             &token)) {
    WriteConsole(Message("OpenProcessToken was not successfull, aborting setting the ", name,
                         " privilege.\n"));
    return 0;
  }
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  if (!Os().LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid)) {
    Os().CloseHandle(token);
    WriteConsole(
        Message("LookupPrivilegeValue() failed, aborting setting the ", name, " privilege.\n"));
    return 0;
  }
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // The call succeeds even for a privilege the token does not hold; only the
  // last error then tells that nothing was enabled, and every open with
  // backup semantics would fail later for want of it.
  Os().SetLastError(ERROR_SUCCESS);
  const bool adjusted = Os().AdjustTokenPrivileges(token, 0, &privileges, 0, nullptr, nullptr) &&
                        Os().GetLastError() != ERROR_NOT_ALL_ASSIGNED;
  if (!adjusted) {
    Os().CloseHandle(token);
    WriteConsole(
        Message("AdjustTokenPrivileges() failed, aborting setting the ", name, " privilege.\n"));
    return 0;
  }
  if (!Os().CloseHandle(token)) {
    WriteConsole(Message("CloseHandle() failed, aborting setting the ", name, " privilege.\n"));
    return 0;
  }
  WriteConsoleUnlessSilent(Message("Set privilege ", name, " successfully.\n"));
  return 1;
}

}  // namespace vx
