#include "security_parts.h"

#include <atomic>

#include "../../report/report.h"
#include "../run_settings.h"

namespace vx {
namespace {

constexpr DWORD kOptionalParts =
    LABEL_SECURITY_INFORMATION | ATTRIBUTE_SECURITY_INFORMATION | SCOPE_SECURITY_INFORMATION;

// The run that found the optional parts refused (0: none yet).
std::atomic<uint32_t> g_refused_in_run{0};

bool OptionalPartsRefused() {
  return g_refused_in_run.load() == State.RunNumber;
}

// Whether a call with `information` failed for the optional parts in it:
// they are then dropped, said once a run.
bool DroppedRefusedParts(DWORD information, DWORD code, std::u16string_view subject) {
  const bool refused = code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
                       code == ERROR_INVALID_FUNCTION;
  if (!refused || (information & kOptionalParts) == 0) return false;
  uint32_t seen = g_refused_in_run.load();
  if (seen != State.RunNumber && g_refused_in_run.compare_exchange_strong(seen, State.RunNumber)) {
    ReportNote(subject,
               u"The system refuses the label, resource-attribute and scope parts of security "
               u"descriptors; they are not carried.");
  }
  return true;
}

}  // namespace

DWORD CarriedSecurityInformation() {
  DWORD parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION |
                ATTRIBUTE_SECURITY_INFORMATION;
  if (!State.WithoutSystemSecurity) parts |= SACL_SECURITY_INFORMATION | SCOPE_SECURITY_INFORMATION;
  if (OptionalPartsRefused()) parts &= ~kOptionalParts;
  return parts;
}

BOOL GetCarriedSecurity(HANDLE object, void* descriptor, DWORD size, DWORD* needed,
                        std::u16string_view subject) {
  const DWORD information = CarriedSecurityInformation();
  if (Os().GetKernelObjectSecurity(object, information, descriptor, size, needed)) return 1;
  if (!DroppedRefusedParts(information, Os().GetLastError(), subject)) return 0;
  return Os().GetKernelObjectSecurity(object, information & ~kOptionalParts, descriptor, size,
                                      needed);
}

BOOL SetCarriedSecurity(HANDLE object, void* descriptor, std::u16string_view subject) {
  const DWORD information = CarriedSecurityInformation();
  if (Os().SetKernelObjectSecurity(object, information, descriptor)) return 1;
  if (!DroppedRefusedParts(information, Os().GetLastError(), subject)) return 0;
  return Os().SetKernelObjectSecurity(object, information & ~kOptionalParts, descriptor);
}

}  // namespace vx
