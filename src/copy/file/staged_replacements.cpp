#include "staged_replacements.h"

#include <chrono>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../../report/report.h"
#include "../run_settings.h"
#include "../access.h"
#include "../replica/decide.h"
#include "../replica/history.h"
#include "../replica/written.h"

namespace vx {

namespace {

// A directory files wait in. Its handles are the walk's until the walk
// leaves it; then the batch's (adopted), closed once the names are in.
struct StagedDirectory {
  HANDLE destination = INVALID_HANDLE_VALUE;
  HANDLE source = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD volume = 0;
  bool volume_known = false;
  bool adopted = false;
  bool times_set = false;
  std::u16string path;
};

struct StagedFile {
  HANDLE file;
  size_t directory;
  std::u16string temporary;
  std::u16string name;
  std::u16string path;
};

struct Batch {
  std::mutex mutex;
  std::vector<StagedDirectory> directories;
  std::unordered_map<HANDLE, size_t> by_handle;
  std::vector<StagedFile> files;
  std::unordered_set<std::u16string> temporary_names;
  size_t adopted = 0;
  std::chrono::steady_clock::time_point oldest;
};

Batch& TheBatch() {
  static Batch batch;
  return batch;
}

bool Overdue(const Batch& batch) {
  return !batch.files.empty() &&
         std::chrono::steady_clock::now() - batch.oldest >= std::chrono::seconds(kStagedSeconds);
}

// Each volume the batch's files are on is flushed once; where that fails
// (reported), each of its files is flushed before its rename instead.
std::vector<bool> FlushVolumes(Batch& batch) {
  std::vector<bool> flushed(batch.directories.size(), false);
  std::vector<std::pair<DWORD, bool>> volumes;  // volume, flushed whole
  for (size_t at = 0; at < batch.directories.size(); ++at) {
    StagedDirectory& directory = batch.directories[at];
    bool done = false;
    bool seen = false;
    for (const auto& [volume, whole] : volumes) {
      if (directory.volume_known && volume == directory.volume) {
        seen = true;
        done = whole;
      }
    }
    if (!seen) {
      done = Os().FlushVolume(directory.destination, 0) != 0;
      if (!done) {
        ReportWin32Error(directory.path, u"CopyOneDirectory:FlushFileBuffers(DESTINATION-DIR)",
                         Os().GetLastError());
      }
      if (directory.volume_known) volumes.emplace_back(directory.volume, done);
    }
    flushed[at] = done;
  }
  return flushed;
}

void PutBatch(Batch& batch) {
  if (batch.files.empty() && batch.directories.empty()) return;
  const std::vector<bool> flushed = FlushVolumes(batch);
  for (StagedFile& staged : batch.files) {
    const StagedDirectory& directory = batch.directories[staged.directory];
    bool placed = true;
    if (!flushed[staged.directory] && !Os().FlushFileBuffers(staged.file)) {
      ReportWin32Error(staged.path, u"CopyOneFile:FlushFileBuffers(DESTINATION)",
                       Os().GetLastError());
      placed = false;
    }
    if (placed && !Os().MoveFileAtW(staged.file, directory.destination, staged.temporary.c_str(),
                                    staged.name.c_str(), 1)) {
      ReportWin32Error(staged.path, u"CopyOneFile:MoveFile(DESTINATION)", Os().GetLastError());
      placed = false;
    }
    Os().CloseHandle(staged.file);
    if (!placed) Os().DeleteFileAtW(directory.destination, staged.temporary.c_str());
  }
  for (StagedDirectory& directory : batch.directories) {
    if (!directory.adopted) continue;
    if (directory.times_set && !CopyTimes(directory.source, directory.info, directory.destination)) {
      ReportWin32Error(directory.path, u"CopyOneDirectory:SetFileTime(DESTINATION-DIR)",
                       Os().GetLastError());
    }
    Os().CloseHandle(directory.destination);
    Os().CloseHandle(directory.source);
  }
  batch.files.clear();
  batch.directories.clear();
  batch.by_handle.clear();
  batch.temporary_names.clear();
  batch.adopted = 0;
}

}  // namespace

bool StagesReplacement(const Place& destination, HANDLE replaced, const std::u16string& temporary,
                       bool several_names) {
  // With /History: each replacement keeps its old version just before it
  // takes the name, so none waits.
  return destination.written != nullptr && !temporary.empty() && !KeepsHistory() &&
         replaced != INVALID_HANDLE_VALUE && !several_names && !Settings.Flush &&
         !State.FlushEachFile && Os().FlushVolume != nullptr;
}

void StageReplacement(HANDLE file, std::u16string temporary, const FileIdentity& replaced,
                      const Place& destination) {
  // The replaced file was claimed when the copy was decided (a later name
  // leading to it collides); with /Mirror it counts as matched until its
  // name is put, so that it is respelled rather than removed.
  NoteMatched(destination, replaced);
  Batch& batch = TheBatch();
  std::lock_guard<std::mutex> lock(batch.mutex);
  auto [found, added] = batch.by_handle.try_emplace(destination.parent, batch.directories.size());
  if (added) {
    StagedDirectory directory;
    directory.destination = destination.parent;
    directory.path.assign(destination.path, 0, destination.name_at);
    while (directory.path.size() > 1 && directory.path.back() == kPathSeparator) {
      directory.path.pop_back();
    }
    BY_HANDLE_FILE_INFORMATION info;
    directory.volume_known = Os().GetFileInformationByHandle(destination.parent, &info) != 0;
    directory.volume = directory.volume_known ? info.dwVolumeSerialNumber : 0;
    batch.directories.push_back(std::move(directory));
  }
  if (batch.files.empty()) batch.oldest = std::chrono::steady_clock::now();
  batch.temporary_names.insert(temporary);
  batch.files.push_back(
      StagedFile{file, found->second, std::move(temporary), destination.Name(), destination.path});
  if (batch.files.size() >= kStagedFiles || Overdue(batch)) PutBatch(batch);
}

bool IsStagedName(std::u16string_view name) {
  Batch& batch = TheBatch();
  std::lock_guard<std::mutex> lock(batch.mutex);
  return batch.temporary_names.count(std::u16string(name)) != 0;
}

bool AdoptStagedDirectory(HANDLE destination, HANDLE source, const BY_HANDLE_FILE_INFORMATION& info,
                          bool times_set) {
  Batch& batch = TheBatch();
  std::lock_guard<std::mutex> lock(batch.mutex);
  const auto found = batch.by_handle.find(destination);
  if (destination == INVALID_HANDLE_VALUE || found == batch.by_handle.end()) return false;
  StagedDirectory& directory = batch.directories[found->second];
  directory.source = source;
  directory.info = info;
  directory.times_set = times_set;
  directory.adopted = true;
  if (++batch.adopted >= kStagedDirectories || Overdue(batch)) PutBatch(batch);
  return true;
}

void PutStagedIn(HANDLE directory) {
  Batch& batch = TheBatch();
  std::lock_guard<std::mutex> lock(batch.mutex);
  if (batch.by_handle.count(directory) != 0) PutBatch(batch);
}

void PutStaged() {
  Batch& batch = TheBatch();
  std::lock_guard<std::mutex> lock(batch.mutex);
  PutBatch(batch);
}

}  // namespace vx
