#include "volume_features.h"

#include <mutex>
#include <vector>

#include "../../report/report.h"
#include "../run_settings.h"

namespace vx {
namespace {

constexpr DWORD kEverything = ~DWORD{0};

struct KnownVolume {
  DWORD serial;
  DWORD features;
  bool streams_noted;
  unsigned refusals_noted;  // VolumeLack bits
};

// Asked anew each run: a volume may have been replaced in between.
std::mutex g_lock;
std::vector<KnownVolume> g_volumes;
uint32_t g_volumes_run = 0;

// The volume's entry, asked for on first sight; null where it cannot be
// told which volume holds `object`. A volume that cannot be asked keeps
// everything it is given.
KnownVolume* VolumeOf(HANDLE object) {
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
  if (Os().GetVolumeFeatures == nullptr || !Os().GetVolumeFeatures(object, &features)) {
    features = kEverything;
  }
  g_volumes.push_back(KnownVolume{info.dwVolumeSerialNumber, features, false, 0});
  return &g_volumes.back();
}

}  // namespace

bool KeepsSparseFiles(HANDLE destination) {
  if (Os().GetVolumeFeatures == nullptr) return true;  // no look, no lock
  std::lock_guard<std::mutex> hold(g_lock);
  const KnownVolume* volume = VolumeOf(destination);
  return volume == nullptr || (volume->features & FILE_SUPPORTS_SPARSE_FILES) != 0;
}

bool KeepsNamedStreams(HANDLE destination, std::u16string_view subject) {
  if (Os().GetVolumeFeatures == nullptr) return true;
  std::unique_lock<std::mutex> hold(g_lock);
  KnownVolume* volume = VolumeOf(destination);
  if (volume == nullptr || (volume->features & FILE_NAMED_STREAMS) != 0) return true;
  if (volume->streams_noted) return false;
  volume->streams_noted = true;
  hold.unlock();
  ReportNote(subject, u"The volume keeps no named streams; streams are not copied to it.");
  return false;
}

void NoteRefusal(HANDLE destination, DWORD code, VolumeLack lack, std::u16string_view subject) {
  if (code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION) return;
  std::unique_lock<std::mutex> hold(g_lock);
  KnownVolume* volume = VolumeOf(destination);
  const unsigned bit = static_cast<unsigned>(lack);
  if (volume == nullptr || (volume->refusals_noted & bit) != 0) return;
  volume->refusals_noted |= bit;
  hold.unlock();
  switch (lack) {
    case VolumeLack::kHardLinks:
      ReportNote(subject, u"The volume keeps no hard links; each further name of a file is "
                          u"copied as a file of its own.");
      break;
    case VolumeLack::kLinks:
      ReportNote(subject, u"The volume keeps no symbolic links; each link is an error.");
      break;
    case VolumeLack::kSpecialFiles:
      ReportNote(subject, u"The volume keeps no special files; each is an error.");
      break;
  }
}

}  // namespace vx
