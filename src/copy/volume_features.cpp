#include "volume_features.h"

#include <mutex>
#include <vector>

#include "../report/report.h"

namespace vx {
namespace {

constexpr DWORD kEverything = ~DWORD{0};

struct KnownVolume {
  DWORD serial;
  DWORD features;
  bool streams_noted;
};

// Asked anew each run: a volume may have been replaced in between.
std::mutex g_lock;
std::vector<KnownVolume> g_volumes;
uint32_t g_volumes_run = 0;

// The volume's entry, asked for on first sight; null where it cannot be
// told which volume holds `object`.
KnownVolume* VolumeOf(HANDLE object) {
  if (Os().GetVolumeFeatures == nullptr) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (!Os().GetFileInformationByHandle(object, &info)) return nullptr;
  if (g_volumes_run != State.RunNumber) {
    g_volumes.clear();
    g_volumes_run = State.RunNumber;
  }
  for (KnownVolume& volume : g_volumes) {
    if (volume.serial == info.dwVolumeSerialNumber) return &volume;
  }
  DWORD features = 0;
  if (!Os().GetVolumeFeatures(object, &features)) features = kEverything;
  g_volumes.push_back(KnownVolume{info.dwVolumeSerialNumber, features, false});
  return &g_volumes.back();
}

}  // namespace

bool KeepsSparseFiles(HANDLE destination) {
  std::lock_guard<std::mutex> hold(g_lock);
  const KnownVolume* volume = VolumeOf(destination);
  return volume == nullptr || (volume->features & FILE_SUPPORTS_SPARSE_FILES) != 0;
}

bool KeepsNamedStreams(HANDLE destination, std::u16string_view subject) {
  std::unique_lock<std::mutex> hold(g_lock);
  KnownVolume* volume = VolumeOf(destination);
  if (volume == nullptr || (volume->features & FILE_NAMED_STREAMS) != 0) return true;
  if (volume->streams_noted) return false;
  volume->streams_noted = true;
  hold.unlock();
  ReportNote(subject, u"The volume keeps no named streams; streams are not copied to it.");
  return false;
}

}  // namespace vx
