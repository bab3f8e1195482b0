// Every platform call that changes the destination passes one gate while a
// run that writes walks. The gate counts what passes, so that a volume the
// run changed nothing on is never flushed, and holds the first call that
// makes, renames or removes a name until the run's mark is on the root: a
// night that finds nothing to do writes nothing at all, not even its mark.
#pragma once

#include <cstdint>

#include "../../platform/platform.h"

namespace vx {

// Puts the gate in front of the platform table's writing entries for its
// lifetime (where the run writes). Made before the walk's workers start,
// so that they are gone before it takes the gate away.
class WriteGate {
 public:
  WriteGate();
  ~WriteGate();
  WriteGate(const WriteGate&) = delete;
  WriteGate& operator=(const WriteGate&) = delete;

 private:
  bool installed_ = false;
};

// Makes `before` run, once, before the first call that makes, renames or
// removes a name (under a lock: every other writer waits for it). It
// returns 0, or the error code that call and every later one then fail
// with: nothing is written without the mark.
void HoldFirstNameChange(DWORD (*before)());

// Changes counted so far. A call that changed nothing (a backend that
// compares first says so: success with kAlreadyAsAsked) is not counted.
uint64_t ChangesPassed();

}  // namespace vx
