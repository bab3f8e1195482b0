// Listed entries looked at one at a time or many at once; see entry_looks.h.
#include "entry_looks.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace vx::posix {
namespace {

// A device is judged from this many looks, and slow where they took this
// long on average: far above a look the kernel answers from its caches
// (about a microsecond), well below one that waits for a server or a disk.
constexpr uint32_t kJudgedAfter = 8;
constexpr std::chrono::microseconds kSlowLook{50};
// Besides the calling thread, at most this many look at once
// (SetLooksAtOnce); all the listings of a run share them.
std::atomic<size_t> g_helpers{0};
// Whether any device was judged slow: until one is, a close asks nothing of
// the table below, whose lock every copier would otherwise take per file.
std::atomic<bool> g_slow_seen{false};

struct DevicePace {
  bool used = false;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t looks = 0;
  std::chrono::steady_clock::duration spent{};
  int verdict = -1;  // -1 not judged, 0 quick, 1 slow
};

// Devices met in a run are few; one beyond the table's room is never
// judged slow, and is looked at one entry at a time.
constexpr size_t kDevices = 32;
std::mutex g_pace_lock;
DevicePace g_paces[kDevices];

// The pace of the device `directory` is on, made on first asking.
DevicePace* PaceOf(const Status& directory) {
  if (!directory.valid) return nullptr;
  const uint32_t major = directory.sx.stx_dev_major;
  const uint32_t minor = directory.sx.stx_dev_minor;
  for (DevicePace& pace : g_paces) {
    if (pace.used && pace.major == major && pace.minor == minor) return &pace;
    if (!pace.used) {
      pace.used = true;
      pace.major = major;
      pace.minor = minor;
      return &pace;
    }
  }
  return nullptr;
}

// Looks handed to the lookers: each takes the next entry not taken yet
// until none is left; the thread that handed them over, once it finds none
// left, waits until no looker holds the batch (each still finishing one it
// took).
struct Batch {
  int directory = -1;
  EntryLook* looks = nullptr;
  size_t count = 0;
  std::atomic<size_t> next{0};
  size_t holders = 0;  // under the lookers' lock
};

struct Lookers {
  std::mutex lock;
  std::condition_variable work;
  std::condition_variable finished;
  std::deque<Batch*> batches;
  size_t started = 0;
  size_t looking = 0;  // of those started, the ones taking looks now
  // Descriptors left to close (CloseLater), and those being closed now.
  std::deque<int> closes;
  size_t closing = 0;
  std::condition_variable closed;
};

// At most this many descriptors wait to be closed: each is one more the
// process holds meanwhile.
constexpr size_t kPendingCloses = 16;

// Started on the first slow directory and kept for the process: the
// threads wait on `work`, detached, and end with it.
Lookers& TheLookers() {
  static Lookers* lookers = new Lookers;
  return *lookers;
}

// Takes looks of `batch` until none is left.
void TakeLooks(Batch* batch) {
  for (size_t i = batch->next.fetch_add(1); i < batch->count; i = batch->next.fetch_add(1)) {
    LookAtEntry(batch->directory, &batch->looks[i]);
  }
}

void LookerLoop(Lookers* lookers) {
  std::unique_lock<std::mutex> hold(lookers->lock);
  for (;;) {
    // No more at once than allowed now: a later run may allow fewer.
    auto may_look = [&] {
      return !lookers->batches.empty() && lookers->looking < g_helpers.load();
    };
    lookers->work.wait(hold, [&] { return may_look() || !lookers->closes.empty(); });
    // Looks first: the walk waits for them, no one waits for a close.
    if (!may_look()) {
      const int fd = lookers->closes.front();
      lookers->closes.pop_front();
      ++lookers->closing;
      hold.unlock();
      close(fd);
      hold.lock();
      if (--lookers->closing == 0 && lookers->closes.empty()) lookers->closed.notify_all();
      continue;
    }
    Batch* batch = lookers->batches.front();
    // Every look of it is taken: none is left for the others either.
    if (batch->next.load() >= batch->count) {
      lookers->batches.pop_front();
      continue;
    }
    ++batch->holders;
    ++lookers->looking;
    hold.unlock();
    TakeLooks(batch);
    hold.lock();
    --batch->holders;
    --lookers->looking;
    if (batch->holders == 0) lookers->finished.notify_all();
  }
}

}  // namespace

void LookAtEntry(int directory, EntryLook* look) {
  // The entry's own status tells, never one reached through a link: a name
  // the directory listed as a file, swapped for a link since, is marked as
  // the link it is now, so that what it leads to is judged as any link's
  // target is (MayFollowLink) before it is read. A link is followed, as
  // Windows follows reparse points under backup semantics; a dangling link
  // shows as the link itself.
  look->is_link = look->type == DT_LNK;
  look->status.valid = false;
  if (!look->is_link && StatxAt(directory, look->name, AT_SYMLINK_NOFOLLOW, &look->status)) {
    look->is_link = S_ISLNK(look->status.sx.stx_mode);
  }
  look->have_status = (look->status.valid && !look->is_link) ||
                      StatxAt(directory, look->name, 0, &look->status) ||
                      StatxAt(directory, look->name, AT_SYMLINK_NOFOLLOW, &look->status);
}

void SetLooksAtOnce(DWORD count) {
  // A run starts with every descriptor of the last one closed.
  WaitForCloses();
  g_helpers = count > 1 ? count - 1 : 0;
  KeepListedFor(count);
}

int JudgedLooks(const Status& directory) {
  // One at a time: nothing to judge.
  if (g_helpers.load() == 0) return 0;
  std::lock_guard<std::mutex> lock(g_pace_lock);
  const DevicePace* pace = PaceOf(directory);
  return pace == nullptr ? 0 : pace->verdict;
}

int NoteLookTime(const Status& directory, std::chrono::steady_clock::duration spent) {
  if (g_helpers.load() == 0) return 0;
  std::lock_guard<std::mutex> lock(g_pace_lock);
  DevicePace* pace = PaceOf(directory);
  if (pace == nullptr) return 0;
  if (pace->verdict != -1) return pace->verdict;
  pace->spent += spent;
  if (++pace->looks >= kJudgedAfter) pace->verdict = pace->spent / pace->looks > kSlowLook ? 1 : 0;
  if (pace->verdict == 1) g_slow_seen.store(true, std::memory_order_relaxed);
  return pace->verdict;
}

bool CloseLater(int fd, const Status& status) {
  if (!g_slow_seen.load(std::memory_order_relaxed) || JudgedLooks(status) != 1) return false;
  Lookers& lookers = TheLookers();
  bool wake;
  {
    std::lock_guard<std::mutex> lock(lookers.lock);
    if (lookers.started == 0 || lookers.closes.size() >= kPendingCloses) return false;
    lookers.closes.push_back(fd);
    // A looker closing now takes the next close once it is done: another
    // is woken only for more than those can take, so that a steady stream
    // of closes costs no wake-up each.
    wake = lookers.closes.size() > lookers.closing;
  }
  if (wake) lookers.work.notify_one();
  return true;
}

void WaitForCloses() {
  Lookers& lookers = TheLookers();
  std::unique_lock<std::mutex> hold(lookers.lock);
  lookers.closed.wait(hold, [&] { return lookers.closes.empty() && lookers.closing == 0; });
}

void JudgeLooks(const Status& directory, bool slow) {
  std::lock_guard<std::mutex> lock(g_pace_lock);
  DevicePace* pace = PaceOf(directory);
  if (pace != nullptr) pace->verdict = slow ? 1 : 0;
  if (slow) g_slow_seen.store(true, std::memory_order_relaxed);
}

void LookAtAll(int directory, EntryLook* looks, size_t count) {
  if (count == 0) return;
  Batch batch;
  batch.directory = directory;
  batch.looks = looks;
  batch.count = count;
  Lookers& lookers = TheLookers();
  {
    std::lock_guard<std::mutex> lock(lookers.lock);
    const size_t wanted = std::min(g_helpers.load(), count - 1);
    // A thread that cannot be started leaves its share to the others and
    // to the caller.
    try {
      for (; lookers.started < wanted; ++lookers.started) {
        std::thread(LookerLoop, &lookers).detach();
      }
    } catch (const std::system_error&) {
    }
    lookers.batches.push_back(&batch);
  }
  lookers.work.notify_all();
  TakeLooks(&batch);
  // Every look is taken; those the lookers took are done once none holds it.
  std::unique_lock<std::mutex> hold(lookers.lock);
  lookers.finished.wait(hold, [&] { return batch.holders == 0; });
  // No looker may find it after this returns.
  lookers.batches.erase(std::remove(lookers.batches.begin(), lookers.batches.end(), &batch),
                        lookers.batches.end());
}

}  // namespace vx::posix
