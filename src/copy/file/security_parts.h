// The parts of security descriptors a run carries: owner, group and DACL,
// and what else the system offers backup software: the integrity label and
// resource attributes, and with the security privilege the SACL and the
// central access policy scope. The optional parts a system refuses
// (Wine, an SMB server, an older volume) are dropped for the rest of the
// run, said once, never silently.
#pragma once

#include <string_view>

#include "../../platform/platform.h"

namespace vx {

DWORD CarriedSecurityInformation();

// GetKernelObjectSecurity and SetKernelObjectSecurity of the carried
// parts. Where the system refuses the optional ones, they are dropped (one
// NOTE a run, naming `subject`) and the call is made again without them.
BOOL GetCarriedSecurity(HANDLE object, void* descriptor, DWORD size, DWORD* needed,
                        std::u16string_view subject);
BOOL SetCarriedSecurity(HANDLE object, void* descriptor, std::u16string_view subject);

}  // namespace vx
