// With /Threads:n, files are copied by n copiers while the walk goes on:
// the walk lists, announces each file in walk order and hands it to one of
// n - 1 worker threads; where all of them have files waiting, the walk
// copies the file itself. Each copier has its own copy buffer. A
// directory's own last steps wait for its files (FilesOf).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../platform/platform.h"
#include "../report/report.h"

namespace vx {

class WrittenObjects;

// The files of one directory handed to workers and not yet done.
struct FilesOf {
  int in_flight = 0;  // under the workers' lock
};

// A file handed over: where it is and where it goes, as the walk's Places
// give them, with paths of its own (the walk's change as it goes on).
struct FileJob {
  std::u16string source_path;
  std::u16string destination_path;
  size_t name_length = 0;
  HANDLE source_parent = nullptr;
  HANDLE destination_parent = nullptr;
  bool parent_is_new = false;
  WrittenObjects* written = nullptr;
  FilesOf* directory = nullptr;
  bool through_link = false;
  MetFile met;  // as the walk announced it
};

class Workers {
 public:
  Workers() = default;
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  // Waits for every file handed over, then ends the workers.
  ~Workers();

  // Starts a worker for each buffer but the first, the walk's; false where
  // none was started (the walk then copies every file itself).
  bool Start(const std::vector<void*>& buffers);
  bool Running() const { return !threads_.empty(); }

  // Hands a file over, or copies it where the queue is full.
  void Copy(FileJob job);
  // Waits until every file of `directory` handed over is done, copying
  // waiting files meanwhile.
  void WaitFor(FilesOf* directory);

 private:
  // Takes the first file of the queue and copies it; `lock` (held) is
  // let go meanwhile.
  void RunFirstWaiting(std::unique_lock<std::mutex>& lock);
  void Run(const FileJob& job);
  void Work(void* buffer);

  std::mutex mutex_;
  std::condition_variable job_ready_;
  std::condition_variable file_done_;
  static constexpr size_t kWaitingPerWorker = 4;
  std::deque<FileJob> queue_;
  size_t queue_limit_ = 0;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace vx
