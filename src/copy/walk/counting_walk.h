// Counts the files and bytes below the source root ahead of the copy, on a
// thread of its own, so that the status line can show the percent done and
// the time left within seconds on a large tree rather than once the walk
// has met every entry. It only lists: one open directory and one record
// buffer per level on its way down, never a link followed, and counts only
// (no names kept), so its memory is bounded whatever the tree holds.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace vx {

class CountingWalk {
 public:
  CountingWalk() = default;
  CountingWalk(const CountingWalk&) = delete;
  CountingWalk& operator=(const CountingWalk&) = delete;
  // Stops the count where it still runs, and waits for it.
  ~CountingWalk();
  // Starts counting below `root` where the status line is shown and what
  // the walk will meet can be told from the listings alone (no /Files:).
  void StartIfShown(const std::u16string& root);

 private:
  void Count(std::u16string root);
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vx
