#include "ui/qt/change_queue.h"

#include <map>

namespace korvane {

void ChangeQueue::Push(Change c) {
  bool was_empty;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    was_empty = pending_.empty();
    pending_.push_back(std::move(c));
  }
  if (was_empty && wake_) wake_();
}

std::vector<Change> ChangeQueue::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Change> out;
  out.swap(pending_);
  return out;
}

std::vector<Change> WithoutClearedLines(std::vector<Change> batch) {
  auto key = [](const Change& c) { return c.control + '#' + std::to_string(c.index); };
  std::map<std::string, size_t> last_clear;
  for (size_t i = 0; i < batch.size(); ++i)
    if (batch[i].property == "Clear") last_clear[key(batch[i])] = i;
  std::vector<Change> out;
  out.reserve(batch.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    auto clear = last_clear.find(key(batch[i]));
    bool undone = clear != last_clear.end() && i < clear->second &&
                  (batch[i].property == "AddItem" || batch[i].property == "TopIndex" ||
                   batch[i].property == "Clear");
    if (!undone) out.push_back(std::move(batch[i]));
  }
  return out;
}

}  // namespace korvane
