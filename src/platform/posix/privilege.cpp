// Privileges on Linux are capabilities. Each Windows privilege the program
// asks for stands for the capabilities that give the same power; enabling it
// raises them from the permitted into the effective set.
#include <strings.h>
#include <sys/capability.h>

#include <cstring>

#include "internal.h"

namespace vx::posix {
namespace {

struct PrivilegeRow {
  const char* name;
  DWORD luid;  // the values Windows uses, for familiarity
  cap_value_t capabilities[4];
  int count;
};

constexpr PrivilegeRow kPrivileges[] = {
    // Read any file and directory.
    {"SeBackupPrivilege", 17, {CAP_DAC_READ_SEARCH}, 1},
    // Write anywhere, set any owner, times and mode.
    {"SeRestorePrivilege", 18, {CAP_DAC_OVERRIDE, CAP_CHOWN, CAP_FOWNER, CAP_FSETID}, 4},
    // Read and write the security.* and trusted.* attributes.
    {"SeSecurityPrivilege", 8, {CAP_SYS_ADMIN, CAP_SETFCAP}, 2},
    // Make symbolic links: anyone may on Linux.
    {"SeCreateSymbolicLinkPrivilege", 35, {}, 0},
};

Handle* const g_process = [] {
  auto* handle = NewHandle();
  handle->kind = Handle::Kind::kProcess;
  handle->owns_fd = false;
  return handle;
}();

const PrivilegeRow* FindByLuid(const LUID& luid) {
  for (const PrivilegeRow& row : kPrivileges) {
    if (luid.HighPart == 0 && luid.LowPart == row.luid) return &row;
  }
  return nullptr;
}

// Raises the row's capabilities into the effective set. Returns false when
// one of them is not permitted to this process.
bool RaiseCapabilities(const PrivilegeRow& row) {
  if (row.count == 0) return true;
  cap_t caps = cap_get_proc();
  if (caps == nullptr) return false;
  bool permitted = true;
  for (int i = 0; i < row.count; ++i) {
    cap_flag_value_t value = CAP_CLEAR;
    if (cap_get_flag(caps, row.capabilities[i], CAP_PERMITTED, &value) != 0 || value != CAP_SET) {
      permitted = false;
    }
  }
  bool ok = permitted &&
            cap_set_flag(caps, CAP_EFFECTIVE, row.count, row.capabilities, CAP_SET) == 0 &&
            cap_set_proc(caps) == 0;
  cap_free(caps);
  return ok;
}

// Standing in for ntdll: the module is always there and knows two entries.
int g_ntdll_marker;

}  // namespace

HANDLE GetCurrentProcess() {
  return g_process;
}

BOOL OpenProcessToken(HANDLE process, DWORD, HANDLE* token) {
  if (process != g_process) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return 0;
  }
  auto* handle = NewHandle();
  handle->kind = Handle::Kind::kToken;
  *token = handle;
  return 1;
}

BOOL LookupPrivilegeValueA(const char*, const char* name, LUID* luid) {
  for (const PrivilegeRow& row : kPrivileges) {
    if (std::strcmp(row.name, name) == 0) {
      luid->LowPart = row.luid;
      luid->HighPart = 0;
      return 1;
    }
  }
  SetLastErrorCode(ERROR_NO_SUCH_PRIVILEGE);
  return 0;
}

// Like Windows, a privilege the process does not hold is no failure of the
// call itself: it succeeds and leaves ERROR_NOT_ALL_ASSIGNED as last error.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL, TOKEN_PRIVILEGES* new_state, DWORD,
                           TOKEN_PRIVILEGES*, DWORD*) {
  Handle* handle = FromHandle(token);
  if (handle == nullptr || handle->kind != Handle::Kind::kToken) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return 0;
  }
  bool all_assigned = true;
  for (DWORD i = 0; i < new_state->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = new_state->Privileges[i];
    const PrivilegeRow* row = FindByLuid(entry.Luid);
    if (row == nullptr) {
      SetLastErrorCode(ERROR_NO_SUCH_PRIVILEGE);
      return 0;
    }
    if ((entry.Attributes & SE_PRIVILEGE_ENABLED) && !RaiseCapabilities(*row)) {
      all_assigned = false;
    }
  }
  SetLastErrorCode(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return 1;
}

HMODULE GetModuleHandleA(const char* module_name) {
  if (module_name != nullptr && strcasecmp(module_name, "ntdll.dll") == 0) {
    return &g_ntdll_marker;
  }
  SetLastErrorCode(126);  // ERROR_MOD_NOT_FOUND
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* proc_name) {
  if (module == &g_ntdll_marker) {
    if (std::strcmp(proc_name, "NtQueryDirectoryFile") == 0) {
      return reinterpret_cast<FARPROC>(&NtQueryDirectoryFile);
    }
    if (std::strcmp(proc_name, "RtlNtStatusToDosError") == 0) {
      return reinterpret_cast<FARPROC>(&RtlNtStatusToDosError);
    }
  }
  SetLastErrorCode(127);  // ERROR_PROC_NOT_FOUND
  return nullptr;
}

}  // namespace vx::posix
