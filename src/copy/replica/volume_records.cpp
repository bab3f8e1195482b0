#include "volume_records.h"

#include "../../platform/utf8.h"
#include "../../report/report.h"
#include "../run_settings.h"
#include "../directory.h"

namespace vx {

namespace {

// The mark on a replica directory whose source directory was the root of
// another volume: that volume (see VolumeText).
constexpr char16_t kMountMark[] = u"mount";
// The mark on the destination root: the source root's volume, then
// " mount" or " directory" (whether it was a mount point).
constexpr char16_t kSourceMark[] = u"source";

// A volume as the replica records it: by its lasting name where the
// platform gives one (a disk cloned with its serial number is another
// volume), else by its number in decimal.
std::string VolumeText(HANDLE directory, DWORD serial) {
  if (Os().GetVolumeName != nullptr) {
    char16_t name[128];
    const DWORD units = Os().GetVolumeName(directory, name, 128);
    if (units > 0 && units < 128) return EncodeFileName(std::u16string_view(name, units));
  }
  return std::to_string(serial);
}

// Whether a record names the volume: by what it records tonight, or by
// the number a record made before names were recorded holds.
bool RecordsVolume(const std::string& recorded, const std::string& volume, DWORD serial) {
  return recorded == volume || recorded == std::to_string(serial);
}

// The value of a mark; false where there is none (or marks are not kept).
bool ReadMark(HANDLE directory, const char16_t* name, std::string* value) {
  if (Os().GetDirectoryMark == nullptr) return false;
  char bytes[128];
  DWORD returned = 0;
  if (Os().GetDirectoryMark(directory, name, bytes, sizeof bytes, &returned)) {
    value->assign(bytes, returned);
    return true;
  }
  // A value too long for any volume number is still a mark: it differs.
  if (Os().GetLastError() != ERROR_MORE_DATA) return false;
  value->assign("?");
  return true;
}

// Writes (or, empty, removes) a mark; a failure is one ERR. Where a
// destination keeps no marks at all, only /Mirror, whose removals the mark
// guards, says so.
bool WriteMark(HANDLE directory, const char16_t* name, const std::string& value,
               const std::u16string& path) {
  if (Os().SetDirectoryMark(directory, name, value.data(), static_cast<DWORD>(value.size()))) {
    return true;
  }
  const DWORD code = Os().GetLastError();
  if (code == ERROR_NOT_SUPPORTED && (!Settings.Mirror || name == kSourceMark)) return true;
  ReportWin32Error(path, u"CopyOneDirectory:SetMountMark(DESTINATION-DIR)", code);
  return false;
}

// Whether the open source directory is a mount point: its parent lies on
// another volume. Unknown (no parent to open) counts as not.
bool IsMountPoint(HANDLE directory, DWORD volume) {
  if (Os().OpenParentDirectory == nullptr) return false;
  HANDLE parent = Os().OpenParentDirectory(directory, FILE_READ_ATTRIBUTES);
  if (parent == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool other = Os().GetFileInformationByHandle(parent, &info) &&
                     info.dwVolumeSerialNumber != volume;
  Os().CloseHandle(parent);
  return other;
}

std::u16string Widened(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// One ERR for a source directory whose volume is not the one recorded;
// standard error says how to accept a change that is real.
void ReportVolumeChanged(const Directory& directory, const std::string& recorded) {
  ReportWin32Error(directory.source.path,
                   u"CopyOneDirectory:VolumeChanged(SOURCE-DIR, recorded volume " +
                       Widened(recorded) + u")",
                   ERROR_FILE_INVALID);
  WriteHint(u"the source " + directory.source.path +
            u" is on another volume than the replica records, so /Mirror removes nothing "
            u"below it; if the change is real, run once with /AcceptVolume.");
}

}  // namespace

bool CheckSourceRootVolume(Directory* directory, HANDLE destination_root) {
  if (Os().GetDirectoryMark == nullptr || Os().SetDirectoryMark == nullptr) return true;
  const DWORD serial = directory->info.dwVolumeSerialNumber;
  const std::string volume = VolumeText(directory->source_handle, serial);
  std::string recorded;
  const bool has_record = ReadMark(destination_root, kSourceMark, &recorded);
  const std::string recorded_volume = recorded.substr(0, recorded.find(' '));
  const bool moved = has_record && !RecordsVolume(recorded_volume, volume, serial);
  if (moved && !Settings.AcceptVolume) {
    if (Settings.Mirror) {
      ReportVolumeChanged(*directory, recorded_volume);
      directory->keep_all = true;
    }
    return true;  // the record stays until the change is accepted
  }
  if (WritesNothing()) return true;
  const std::string tonight =
      volume + (IsMountPoint(directory->source_handle, directory->info.dwVolumeSerialNumber)
                    ? " mount"
                    : " directory");
  if (has_record && recorded == tonight) return true;
  return WriteMark(destination_root, kSourceMark, tonight, directory->destination.path);
}

void CheckMountPoint(Directory* directory, HANDLE destination) {
  directory->was_mounted_here = ReadMark(destination, kMountMark, &directory->recorded_volume);
  if (!ComparesNames() || Settings.AcceptVolume) return;
  if (directory->mounted_here != directory->was_mounted_here) {
    // A volume that came or went since the last run: what its replica
    // holds is no proof of what the source lacks.
    ReportWin32Error(directory->source.path, u"CopyOneDirectory:MountPointChanged(SOURCE-DIR)",
                     ERROR_FILE_INVALID);
    directory->keep_all = true;
  } else if (directory->mounted_here &&
             !RecordsVolume(directory->recorded_volume,
                            VolumeText(directory->source_handle, directory->info.dwVolumeSerialNumber),
                            directory->info.dwVolumeSerialNumber)) {
    ReportVolumeChanged(*directory, directory->recorded_volume);
    directory->keep_all = true;
  }
}

bool KeepMountMark(const Directory& directory) {
  if (WritesNothing() || directory.destination.parent == nullptr ||
      Os().SetDirectoryMark == nullptr) {
    return true;
  }
  if (directory.mounted_here) {
    const DWORD serial = directory.info.dwVolumeSerialNumber;
    const std::string volume = VolumeText(directory.source_handle, serial);
    // A record of this volume in an older form is written anew; one of
    // another volume stays until the change is accepted.
    if (directory.was_mounted_here &&
        (directory.recorded_volume == volume ||
         (!Settings.AcceptVolume && !RecordsVolume(directory.recorded_volume, volume, serial)))) {
      return true;
    }
    return WriteMark(directory.destination_handle, kMountMark, volume, directory.destination.path);
  }
  // A mark that went is kept while its volume is away, until accepted.
  if (!directory.was_mounted_here || !Settings.AcceptVolume) return true;
  return WriteMark(directory.destination_handle, kMountMark, std::string(), directory.destination.path);
}

}  // namespace vx
