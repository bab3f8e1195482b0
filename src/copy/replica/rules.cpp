#include "rules.h"

namespace vx {

Removal MayRemove(const RemovalFacts& facts) {
  if (!(facts.mirror || facts.verify) || facts.keeps_all || !facts.listed_whole || facts.names_unsure ||
      facts.stop_requested || facts.excluded) {
    return Removal::kKeep;
  }
  if (facts.verify) return Removal::kDifference;
  if (facts.source_root_empty) return Removal::kEmptySource;
  return Removal::kRemove;
}

}  // namespace vx
