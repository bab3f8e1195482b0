#include "registries.h"

#include "replica/history.h"

namespace vx {

WalkRegistries Registries;

void ResetRegistries() {
  Registries.Excludes.clear();
  Registries.Files = FileList{};
  Registries.HardLinkCopies.Clear();
  Registries.LogIdentity = FileIdentity{};
  Registries.ErrorLogIdentity = FileIdentity{};
  Registries.JsonLogIdentity = FileIdentity{};
  Registries.ProtectedDirectories.clear();
  Registries.Skipped.clear();
  ResetHistory();
}

}  // namespace vx
