#pragma once

namespace vx {

// Enables one privilege in the process's own token. Prints what it tries
// and how it ended; returns 1 when the privilege is enabled, 0 when not.
int SetPrivilege(const char* name);

}  // namespace vx
