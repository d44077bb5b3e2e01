#include "core/log_writer.h"

#include <cstdio>
#include <limits>

namespace korvane {

namespace {
constexpr int64_t kLogLimit = 100000;
}

std::string BackupName(const Files& files, const std::string& name) {
  std::string t = name + "._";
  size_t p = t.find('.');
  std::string stem = t.substr(0, p + 2) + "_";
  double earliest = std::numeric_limits<double>::max();
  int chosen = 0;
  for (int d = 0; d <= 9; ++d) {
    std::string candidate = stem + std::to_string(d);
    double mtime = 0;
    if (!files.Modified(candidate, mtime)) return candidate;
    if (mtime < earliest) {
      earliest = mtime;
      chosen = d;
    }
  }
  return stem + std::to_string(chosen);
}

void LogWriter::Write(const Files& files, LineAppender& out, LineIter first, LineIter last) {
  while (first != last) {
    first = first->path ? AppendRun(files, out, first, last) : PrintRun(first, last);
  }
}

LogWriter::LineIter LogWriter::PrintRun(LineIter first, LineIter last) {
  for (; first != last && !first->path; ++first) {
    std::fwrite(first->text.data(), 1, first->text.size(), stdout);
  }
  std::fflush(stdout);
  return first;
}

// The length measured at opening plus what is gathered tells each line's
// starting length, so the file is moved aside before exactly the line it
// would have been moved aside before had each line opened it anew. The
// file is closed before it is moved aside. A file that cannot be opened
// loses these lines, as it would lose a single one.
LogWriter::LineIter LogWriter::AppendRun(const Files& files, LineAppender& out, LineIter first,
                                         LineIter last) {
  const std::shared_ptr<const std::string> shared = first->path;
  const std::string& path = *shared;
  const bool opened = out.Open(path);
  int64_t length = out.Length();
  std::string gathered;
  for (; first != last && first->path && *first->path == path; ++first) {
    if (opened && length + static_cast<int64_t>(gathered.size()) > kLogLimit) {
      out.Write(gathered);
      out.Close();
      gathered.clear();
      std::string backup = BackupName(files, path);
      if (files.Copy(path, backup)) files.Remove(path);
      out.Open(path);
      length = out.Length();
    }
    gathered += first->text;
  }
  // The file stays open for the next run; it is closed when the writer
  // stops, or reopened when its name no longer leads to it.
  if (opened) out.Write(gathered);
  return first;
}

void LogWriter::Start() {
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

void LogWriter::Stop() {
  if (!thread_.joinable()) return;
  Flush();
  {
    std::lock_guard<std::mutex> lock(m_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void LogWriter::Append(const std::string& log_path, std::string text) {
  if (!last_path_ || *last_path_ != log_path) last_path_ = std::make_shared<const std::string>(log_path);
  Add(Line{last_path_, std::move(text)});
}

void LogWriter::Print(std::string text) {
  if (!text.empty()) Add(Line{nullptr, std::move(text)});
}

void LogWriter::Add(Line line) {
  pending_.push_back(std::move(line));
  if (!thread_.joinable()) {
    Write(files_, now_, pending_.begin(), pending_.end());
    pending_.clear();
  }
}

void LogWriter::Flush(bool idle) {
  if (pending_.empty() || (!idle && pending_.size() < kBatch)) return;
  std::unique_lock<std::mutex> lock(m_);
  if (queue_.empty()) {
    queue_.swap(pending_);
  } else {
    for (Line& l : pending_) queue_.push_back(std::move(l));
    pending_.clear();
  }
  const bool wake = waiting_;
  const bool behind = queue_.size() > kMaxBehind;
  lock.unlock();
  if (wake) wake_.notify_one();
  if (behind) {
    lock.lock();
    caught_up_.wait(lock, [this] { return queue_.size() <= kMaxBehind; });
  }
}

void LogWriter::Run() {
  LineAppender out(files_);
  std::vector<Line> batch;
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    waiting_ = true;
    wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    waiting_ = false;
    if (queue_.empty()) return;  // stopping, and all is written
    if (!stopping_ && queue_.size() < kBatch) {
      // Gather: Flush does not wake a writer that is not waiting.
      lock.unlock();
      std::this_thread::sleep_for(kGather);
      lock.lock();
    }
    batch.swap(queue_);
    caught_up_.notify_all();
    lock.unlock();
    Write(files_, out, batch.begin(), batch.end());
    batch.clear();
    lock.lock();
  }
}

}  // namespace korvane
