// Changes published on the gateway's thread, taken by the window's thread
// in batches: the first change after a take wakes the window once, and the
// window then takes everything that arrived meanwhile. A flood of log
// lines therefore costs the window one batch per turn of its loop, not one
// event per line.
#pragma once
#include <functional>
#include <mutex>
#include <vector>

#include "core/controls.h"

namespace korvane {

class ChangeQueue {
 public:
  explicit ChangeQueue(std::function<void()> wake) : wake_(std::move(wake)) {}
  void Push(Change c);
  std::vector<Change> Take();

 private:
  std::function<void()> wake_;
  std::mutex mutex_;
  std::vector<Change> pending_;
};

// Drops what a later Clear of the same list undoes, so a flood that the
// log keeps clearing is shown as its last screenful.
std::vector<Change> WithoutClearedLines(std::vector<Change> batch);

}  // namespace korvane
