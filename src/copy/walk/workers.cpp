#include "workers.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "../../report/report.h"
#include "stop.h"
#include "../file/copy_data.h"
#include "../file/file_tries.h"
#include "../place.h"

namespace vx {

bool Workers::Start(const std::vector<void*>& buffers, unsigned cores) {
  buffers_ = buffers;
  quick_helpers_ = cores > 1 ? cores - 1 : 0;
  return buffers_.size() > 1;
}

// Worker threads start when the walk first has something to hand over: a
// run whose files are all quick (a rerun with nothing to do) starts none.
bool Workers::StartThreads() {
  if (started_) return !threads_.empty();
  started_ = true;
  // The walk is one of the copiers: it takes the first buffer (COPYBUFFER,
  // its thread's own) and each further buffer gets a worker thread.
  BeginSharedBooks();
  for (size_t i = 1; i < buffers_.size(); ++i) {
    try {
      threads_.emplace_back(&Workers::Work, this, buffers_[i]);
    } catch (const std::system_error&) {
      break;  // fewer workers, or none: the walk copies the rest itself
    }
  }
  if (threads_.empty()) EndSharedBooks();
  // A few batches waiting for each worker keep it busy while the walk
  // lists, and are little for the walk to run ahead by.
  queue_limit_ = kWaitingPerWorker * threads_.size();
  return !threads_.empty();
}

Workers::~Workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  job_ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  if (!threads_.empty()) EndSharedBooks();
}

// Files are handed over in batches: one lock and one wake-up for several
// files, so that a file with nothing to copy (a rerun's skip) costs about
// what the walk would spend on it itself. Quick files go in batches of
// four times as many, which halves the wake-ups and waits of a rerun.
void Workers::Copy(FileJob job) {
  batch_.push_back(std::move(job));
  if (batch_.size() >= (quick_ ? kQuickBatchFiles : kBatchFiles)) HandOver();
}

// Where every worker has batches waiting, the walk copies the batch itself
// rather than sleep until one is taken: no hand-over, no switch, and one
// more copier for the time it takes.
void Workers::HandOver() {
  if (batch_.empty() || RunQuickBatch()) return;
  StartThreads();
  std::unique_lock<std::mutex> lock(mutex_);
  // Quick files wait for the helpers only: the walk copies the rest.
  const size_t limit =
      quick_ ? kWaitingPerWorker * std::min(threads_.size(), quick_helpers_) : queue_limit_;
  if (queue_.size() >= limit) {
    lock.unlock();
    RunHere(&batch_);
    return;
  }
  for (FileJob& job : batch_) ++job.directory->in_flight;
  queue_.push_back(std::move(batch_));
  batch_.clear();
  // A worker is woken where none is awake to take the batch, or where
  // batches pile up (slow files, a share): on a fast disk the awake ones
  // keep up, and workers sleeping and waking for each batch would cost
  // more than the files. Quick files wake no more workers than there are
  // cores besides the walk's: more would only take turns on them.
  const size_t awake = threads_.size() - sleeping_;
  const bool wake = (sleeping_ == threads_.size() || queue_.size() > 1) &&
                    (!quick_ || awake < quick_helpers_);
  lock.unlock();
  if (wake) job_ready_.notify_one();
}

// Files with nothing to copy (a rerun's skips) take less time than handing
// them over to a worker that would wait for a core. With cores to spare,
// the walk shares them with one worker a spare core (HandOver); with one
// core it copies each on the spot, as one thread would (CopiesHere), with
// no lock, no hand-over and no call a thread alone would not make, and
// times them a batch's worth at a time. Once they are not quick (new
// files, a share) every worker takes them, and the walk copies one file
// in every few batches itself, timed, so that it sees them turn quick
// again.
bool Workers::CopiesHere() {
  if (!quick_ || quick_helpers_ > 0) return false;
  quick_start_ = std::chrono::steady_clock::now();
  return true;
}

// Only the files' own time counts, not the walk's between them (a
// directory entered, a listing read), and one slow file among quick ones
// (the first of a run, a cache miss) changes nothing: files stay on the
// spot while most of a batch's worth are quick.
void Workers::CopiedHere() {
  if (std::chrono::steady_clock::now() - quick_start_ >= kQuickFile) ++slow_files_;
  if (++quick_files_ < kBatchFiles) return;
  quick_ = slow_files_ * 2 <= quick_files_;
  quick_files_ = slow_files_ = 0;
}

// Only the batch's first file is timed on the walk's thread, the rest
// handed over: on a share a whole batch would hold the walk for sixteen
// files' round trips while the workers drain the queue it should fill.
// The walk's own file is timed, not a worker's: workers sharing cores
// would find every file slow, and keep waking each other.
bool Workers::RunQuickBatch() {
  if (++since_timed_ < kTimeEvery) return false;
  since_timed_ = 0;
  std::vector<FileJob> timed;
  timed.push_back(std::move(batch_.front()));
  batch_.erase(batch_.begin());
  const auto start = std::chrono::steady_clock::now();
  RunHere(&timed);
  quick_ = std::chrono::steady_clock::now() - start < kQuickFile;
  return batch_.empty();
}

void Workers::RunHere(std::vector<FileJob>* batch) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (FileJob& job : *batch) ++job.directory->in_flight;
  }
  RunBatch(*batch);
  batch->clear();
}

// The walk waiting for a directory's files, or for room, copies waiting
// files meanwhile.
void Workers::WaitFor(FilesOf* directory, int keep) {
  HandOver();
  CopyWhile([directory, keep] { return directory->in_flight > keep; });
}

void Workers::CopyWhile(const std::function<bool()>& busy) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (busy()) {
    if (queue_.empty()) {
      file_done_.wait(lock);
    } else {
      RunFirstWaiting(lock);
    }
  }
}

void Workers::RunFirstWaiting(std::unique_lock<std::mutex>& lock) {
  const std::vector<FileJob> batch = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  RunBatch(batch);
  lock.lock();
}

// A batch's files are told to their directories together, a lock for each
// run of files of one directory, not one for each file.
void Workers::RunBatch(const std::vector<FileJob>& batch) {
  FilesOf* directory = nullptr;
  int done = 0;
  for (const FileJob& job : batch) {
    if (job.directory != directory && done > 0) {
      Done(directory, done);
      done = 0;
    }
    directory = job.directory;
    if (!Run(job)) ++done;
  }
  if (done > 0) Done(directory, done);
}

void Workers::RunAhead(std::function<void()> task, FilesOf* directory) {
  if (!StartThreads()) {
    task();  // no copier to give it to: it is done by the time it is waited for
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  ++directory->in_flight;
  std::vector<FileJob> batch(1);
  batch.front().directory = directory;
  batch.front().task = std::move(task);
  queue_.push_front(std::move(batch));
  const bool wake = sleeping_ > 0;
  lock.unlock();
  if (wake) job_ready_.notify_one();
}

void Workers::WaitUntil(const std::function<bool()>& done) {
  HandOver();
  CopyWhile([&done] { return !done(); });
}

bool Workers::Run(const FileJob& job) {
  if (job.task) {
    job.task();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      file_done_.notify_all();
    }
    Done(job.directory);
    return true;
  }
  // After a stop request, files still waiting are not begun: nothing of
  // them is decided, counted or written.
  if (StopRequested()) return false;
  Place source = EntryPlace(job.source_parent, job.source_path, job.name_length);
  source.through_link = job.through_link;
  Place destination = EntryPlace(job.destination_parent, job.destination_path, job.name_length,
                                 job.parent_is_new, job.written);
  destination.keeps_all = job.keeps_all;
  TakeOverFile(job.met);
  CopyFileTrying(source, destination);
  return false;
}

void Workers::Hold(FilesOf* directory) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++directory->in_flight;
}

void Workers::LeaveBehind(FilesOf* directory, std::function<FilesOf*()> finish) {
  HandOver();  // its files still in the walk's batch count as in flight
  std::unique_lock<std::mutex> lock(mutex_);
  if (directory->in_flight > 0) {
    directory->finish = std::move(finish);
    ++behind_;
    return;
  }
  lock.unlock();
  FilesOf* parent = finish();
  if (parent != nullptr) Done(parent);
}

// A loop rather than a recursion: a deep chain of directories each waiting
// only for its last subdirectory finishes in one go.
void Workers::Done(FilesOf* directory, int count) {
  while (directory != nullptr) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Whoever waits for fewer things of this directory (WaitFor's `keep`)
    // or for room is told at each one.
    file_done_.notify_all();
    directory->in_flight -= count;
    count = 1;
    if (directory->in_flight > 0) return;
    std::function<FilesOf*()> finish = std::move(directory->finish);
    directory->finish = nullptr;
    if (!finish) return;
    lock.unlock();
    directory = finish();
    lock.lock();
    --behind_;
    file_done_.notify_all();
  }
}

void Workers::WaitForRoom(size_t limit) {
  HandOver();
  CopyWhile([this, limit] { return behind_ >= limit; });
}

void Workers::Work(void* buffer) {
  UseCopyBuffer(buffer);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (queue_.empty() && !closing_) {
      ++sleeping_;
      job_ready_.wait(lock, [&] { return closing_ || !queue_.empty(); });
      --sleeping_;
    }
    if (queue_.empty()) return;
    RunFirstWaiting(lock);
  }
}

}  // namespace vx
