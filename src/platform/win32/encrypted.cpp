// The export hands the file's raw form out through a callback, the import
// pulls it in through another, each call on its own thread: the two are
// joined by a bounded queue, so a file of any size passes through a few
// megabytes of memory.
#include "encrypted.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <windows.h>

namespace vx::win32 {
namespace {

constexpr size_t kQueuedBytesLimit = size_t{4} << 20;

struct RawQueue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::vector<unsigned char>> chunks;
  size_t front_taken = 0;  // bytes of the first chunk already handed on
  size_t queued = 0;
  bool export_ended = false;
  DWORD export_result = ERROR_SUCCESS;
  bool import_ended = false;
};

DWORD WINAPI TakeExported(PBYTE data, PVOID context, ULONG length) {
  auto& queue = *static_cast<RawQueue*>(context);
  std::unique_lock<std::mutex> hold(queue.lock);
  queue.changed.wait(hold, [&] { return queue.queued < kQueuedBytesLimit || queue.import_ended; });
  // An import that gave up takes nothing more; the export stops with it.
  if (queue.import_ended) return ERROR_OPERATION_ABORTED;
  queue.chunks.emplace_back(data, data + length);
  queue.queued += length;
  queue.changed.notify_all();
  return ERROR_SUCCESS;
}

// Fills up to *length bytes; 0 bytes ends the import, with the export's
// failure where it failed.
DWORD WINAPI GiveToImport(PBYTE data, PVOID context, PULONG length) {
  auto& queue = *static_cast<RawQueue*>(context);
  std::unique_lock<std::mutex> hold(queue.lock);
  queue.changed.wait(hold, [&] { return !queue.chunks.empty() || queue.export_ended; });
  ULONG given = 0;
  while (given < *length && !queue.chunks.empty()) {
    std::vector<unsigned char>& front = queue.chunks.front();
    const size_t part = std::min<size_t>(*length - given, front.size() - queue.front_taken);
    std::memcpy(data + given, front.data() + queue.front_taken, part);
    given += static_cast<ULONG>(part);
    queue.front_taken += part;
    queue.queued -= part;
    if (queue.front_taken == front.size()) {
      queue.chunks.pop_front();
      queue.front_taken = 0;
    }
  }
  *length = given;
  queue.changed.notify_all();
  return given == 0 ? queue.export_result : ERROR_SUCCESS;
}

}  // namespace

unsigned long CopyEncryptedRaw(const wchar_t* from, const wchar_t* to) {
  PVOID exported = nullptr;
  DWORD result = ::OpenEncryptedFileRawW(from, 0, &exported);
  if (result != ERROR_SUCCESS) return result;
  PVOID imported = nullptr;
  result = ::OpenEncryptedFileRawW(to, CREATE_FOR_IMPORT, &imported);
  if (result != ERROR_SUCCESS) {
    ::CloseEncryptedFileRaw(exported);
    return result;
  }
  RawQueue queue;
  std::thread exporter([&] {
    const DWORD read = ::ReadEncryptedFileRaw(TakeExported, &queue, exported);
    std::lock_guard<std::mutex> hold(queue.lock);
    queue.export_result = read != ERROR_SUCCESS ? read : ERROR_SUCCESS;
    queue.export_ended = true;
    queue.changed.notify_all();
  });
  const DWORD written = ::WriteEncryptedFileRaw(GiveToImport, &queue, imported);
  {
    std::lock_guard<std::mutex> hold(queue.lock);
    queue.import_ended = true;
    queue.changed.notify_all();
  }
  exporter.join();
  ::CloseEncryptedFileRaw(imported);
  ::CloseEncryptedFileRaw(exported);
  return RawCopyResult(queue.export_result, written);
}

}  // namespace vx::win32
