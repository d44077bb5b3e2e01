#include "core/log_writer.h"

#include <cstdio>
#include <limits>
#include <utility>

namespace korvane {

namespace {
constexpr int64_t kLogLimit = 100000;
constexpr size_t kKeptBytes = 1 << 20;
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

void LogWriter::Lines::Add(std::shared_ptr<const std::string> path, std::string_view a, std::string_view b) {
  text.append(a).append(b);
  entries.push_back(Entry{std::move(path), text.size()});
}

void LogWriter::Lines::TakeFrom(Lines& other) {
  const size_t base = text.size();
  text.append(other.text);
  for (Entry& e : other.entries) entries.push_back(Entry{std::move(e.path), base + e.end});
  other.clear();
}

void LogWriter::Write(const Files& files, LineAppender& out, const Lines& lines) {
  size_t i = 0;
  while (i < lines.size()) {
    i = lines.entries[i].path ? AppendRun(files, out, lines, i) : PrintRun(lines, i);
  }
}

size_t LogWriter::PrintRun(const Lines& lines, size_t first) {
  const size_t begin = lines.Begin(first);
  while (first < lines.size() && !lines.entries[first].path) ++first;
  std::fwrite(lines.text.data() + begin, 1, lines.Begin(first) - begin, stdout);
  std::fflush(stdout);
  return first;
}

// The length measured at opening plus what is gathered tells each line's
// starting length, so the file is moved aside before exactly the line it
// would have been moved aside before had each line opened it anew. The
// file is closed before it is moved aside. A file that cannot be opened
// loses these lines, as it would lose a single one.
size_t LogWriter::AppendRun(const Files& files, LineAppender& out, const Lines& lines, size_t first) {
  const std::shared_ptr<const std::string> shared = lines.entries[first].path;
  const std::string& path = *shared;
  const std::string_view text = lines.text;
  const bool opened = out.Open(path);
  int64_t length = out.Length();
  size_t gathered = lines.Begin(first);  // start of the lines not yet written
  for (; first < lines.size() && lines.entries[first].path && *lines.entries[first].path == path; ++first) {
    const size_t begin = lines.Begin(first);
    if (opened && length + static_cast<int64_t>(begin - gathered) > kLogLimit) {
      out.Write(text.substr(gathered, begin - gathered));
      out.Close();
      gathered = begin;
      std::string backup = BackupName(files, path);
      if (files.Copy(path, backup)) files.Remove(path);
      out.Open(path);
      length = out.Length();
    }
  }
  // The file stays open for the next run; it is closed when the writer
  // stops, or reopened when its name no longer leads to it.
  if (opened) out.Write(text.substr(gathered, lines.Begin(first) - gathered));
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

void LogWriter::Append(const std::string& log_path, std::string_view text, std::string_view end) {
  if (!last_path_ || *last_path_ != log_path) last_path_ = std::make_shared<const std::string>(log_path);
  pending_.Add(last_path_, text, end);
  Added();
}

void LogWriter::Print(std::string_view text) {
  if (text.empty()) return;
  pending_.Add(nullptr, text, {});
  Added();
}

void LogWriter::Added() {
  if (!thread_.joinable()) {
    Write(files_, now_, pending_);
    pending_.clear();
  }
}

void LogWriter::Flush(bool idle) {
  if (pending_.empty() || (!idle && pending_.size() < kBatch)) return;
  std::unique_lock<std::mutex> lock(m_);
  if (queue_.empty()) {
    std::swap(queue_, pending_);
  } else {
    queue_.TakeFrom(pending_);
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
  Lines batch;
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
    std::swap(batch, queue_);
    caught_up_.notify_all();
    lock.unlock();
    Write(files_, out, batch);
    // The buffers go round (pending, queue, batch); one grown by a burst
    // or a stalled disk is given back rather than kept for good.
    // (Assigning an empty one would keep the string's buffer.)
    if (batch.text.capacity() > kKeptBytes) {
      Lines spent;
      std::swap(batch, spent);
    }
    batch.clear();
    lock.lock();
  }
}

}  // namespace korvane
