#include "workers.h"

#include <system_error>
#include <utility>

#include "copy_data.h"
#include "file_tries.h"
#include "place.h"

namespace vx {

bool Workers::Start(const std::vector<void*>& buffers) {
  // Each worker has one file waiting besides the one it copies: enough to
  // keep it busy while the walk lists, little for the walk to run ahead by.
  queue_limit_ = buffers.size();
  for (void* buffer : buffers) {
    try {
      threads_.emplace_back(&Workers::Work, this, buffer);
    } catch (const std::system_error&) {
      break;  // fewer workers, or none: the walk copies by itself
    }
  }
  return Running();
}

Workers::~Workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  job_ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void Workers::Copy(FileJob job) {
  std::unique_lock<std::mutex> lock(mutex_);
  slot_free_.wait(lock, [&] { return queue_.size() < queue_limit_; });
  ++job.directory->in_flight;
  queue_.push_back(std::move(job));
  lock.unlock();
  job_ready_.notify_one();
}

void Workers::WaitFor(FilesOf* directory) {
  std::unique_lock<std::mutex> lock(mutex_);
  file_done_.wait(lock, [&] { return directory->in_flight == 0; });
}

void Workers::Work(void* buffer) {
  UseCopyBuffer(buffer);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    job_ready_.wait(lock, [&] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) return;
    const FileJob job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    slot_free_.notify_one();
    const Place source = EntryPlace(job.source_parent, job.source_path, job.name_length);
    const Place destination = EntryPlace(job.destination_parent, job.destination_path,
                                         job.name_length, job.parent_is_new, job.written);
    CopyFileTrying(source, destination);
    lock.lock();
    if (--job.directory->in_flight == 0) file_done_.notify_all();
  }
}

}  // namespace vx
