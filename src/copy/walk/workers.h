// With /Threads:n, files are copied by n copiers while the walk goes on:
// the walk lists, announces each file in walk order and hands it to one of
// n - 1 worker threads; where all of them have files waiting, the walk
// copies the file itself. Each copier has its own copy buffer. A
// directory's own last steps wait for its files and subdirectories
// (FilesOf), and are run by whoever ends the last of them, so the walk goes
// on to the next directory at once and files of several directories are in
// flight together.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../platform/platform.h"
#include "../../report/report.h"

namespace vx {

class WrittenObjects;

// What one directory waits for before its last steps: its files handed to
// workers and its subdirectories not yet finished. Under the workers' lock.
struct FilesOf {
  int in_flight = 0;
  // Set once the walk has listed the whole directory and left its last
  // steps behind; returns the parent's FilesOf, which waited for it.
  std::function<FilesOf*()> finish;
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
  bool keeps_all = false;  // see Place
  MetFile met;  // as the walk announced it
  // Where set, what the copier does instead of copying (a listing read
  // ahead of the walk).
  std::function<void()> task;
};

class Workers {
 public:
  Workers() = default;
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  // Waits for every file handed over, then ends the workers.
  ~Workers();

  // Takes a buffer for each copier, the walk's first; a worker thread for
  // each further buffer starts when the first batch is handed over. False
  // where there would be none (the walk then copies every file itself).
  // `cores`: how many files can be copied at the same time without taking
  // turns, which decides who copies quick files.
  bool Start(const std::vector<void*>& buffers,
             unsigned cores = std::thread::hardware_concurrency());
  // Whether worker threads were started.
  bool Running() const { return !threads_.empty(); }

  // Whether the walk copies the next file itself, on the spot (files are
  // quick, a rerun's skips, and no core is spare for a worker); if so, it
  // calls CopiedHere once it has.
  bool CopiesHere();
  void CopiedHere();

  // Hands a file over (in the walk's next batch). Only the walk calls
  // Copy, WaitFor, LeaveBehind and WaitForRoom.
  void Copy(FileJob job);
  // Waits until no more than `keep` things `directory` waits for are left
  // (none: every file handed over is done), copying waiting files
  // meanwhile.
  void WaitFor(FilesOf* directory, int keep = 0);
  // `directory` waits for one more thing: a subdirectory being walked.
  void Hold(FilesOf* directory);
  // The walk is done listing `directory`: `finish` runs its last steps now
  // if nothing of it is in flight, else when the last of it ends, on the
  // thread that ends it.
  void LeaveBehind(FilesOf* directory, std::function<FilesOf*()> finish);
  // Waits, copying waiting files meanwhile, until fewer than `limit`
  // directories left behind are still open.
  void WaitForRoom(size_t limit);
  // Gives `task` to a copier before any waiting file; `directory` waits
  // for it as for a file.
  void RunAhead(std::function<void()> task, FilesOf* directory);
  // Waits, copying waiting files meanwhile, until `done` (asked under the
  // lock) holds; a task's end is told as a file's is.
  void WaitUntil(const std::function<bool()>& done);

 private:
  // Starts the worker threads, once; false where none could start.
  bool StartThreads();
  // Queues the walk's batch, or copies it where the queue is full.
  void HandOver();
  // Takes the first batch of the queue and copies it; `lock` (held) is
  // let go meanwhile.
  void RunFirstWaiting(std::unique_lock<std::mutex>& lock);
  void RunBatch(const std::vector<FileJob>& batch);
  // Copies the first file of one batch in every few on the walk's thread,
  // timed, while files are not quick; true where that was the whole batch.
  bool RunQuickBatch();
  // Copies `batch` on the calling thread, counted in flight meanwhile, and
  // empties it.
  void RunHere(std::vector<FileJob>* batch);
  // Waits while `busy` (asked under the lock) holds, copying waiting files.
  void CopyWhile(const std::function<bool()>& busy);
  // Copies a file, or runs a task; false where `job` is a file, whose
  // directory is told by its batch.
  bool Run(const FileJob& job);
  // `count` things `directory` waited for are done: where they were the
  // last, the directory's last steps run, and its parent's count goes down
  // in turn.
  void Done(FilesOf* directory, int count = 1);
  void Work(void* buffer);

  std::mutex mutex_;
  std::condition_variable job_ready_;
  std::condition_variable file_done_;
  static constexpr size_t kWaitingPerWorker = 2;
  static constexpr size_t kBatchFiles = 16;
  static constexpr size_t kQuickBatchFiles = 4 * kBatchFiles;
  // A file quicker than this costs more to hand over (a lock, a wake-up,
  // another core's caches) than to copy on the spot.
  static constexpr std::chrono::microseconds kQuickFile{10};
  // Every this many batches handed over, one file is timed again.
  static constexpr int kTimeEvery = 8;
  bool quick_ = true;  // whether the last files timed were quick
  // The workers that take quick files: one for each core besides the
  // walk's.
  size_t quick_helpers_ = 0;
  int since_timed_ = kTimeEvery - 1;  // the first batch is timed
  // Files copied on the spot and how many of them were not quick, judged
  // once a batch's worth; when the one being copied began.
  size_t quick_files_ = 0;
  size_t slow_files_ = 0;
  std::chrono::steady_clock::time_point quick_start_;
  std::vector<FileJob> batch_;  // the walk's, not yet handed over
  std::deque<std::vector<FileJob>> queue_;
  size_t queue_limit_ = 0;
  size_t behind_ = 0;    // directories left behind, not yet finished
  size_t sleeping_ = 0;  // workers waiting for a batch
  bool closing_ = false;
  std::vector<void*> buffers_;
  bool started_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace vx
