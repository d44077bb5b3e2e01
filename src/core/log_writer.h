// The event log's file side. Before each line the file's length is
// checked, and a file grown past 100,000 bytes is moved aside, so a new
// file starts exactly at the first line after the limit. The file stays
// open between batches and is looked up by name once per batch, so that a
// log moved aside or deleted by someone else is started anew (see
// LineAppender).
//
// While the gateway's loop runs, that work is done by a thread of its own,
// in the order the lines were logged, so that no request waits for file
// system calls on the gateway thread. Lines are handed over in batches,
// when the loop is about to wait for events or once kBatch have gathered
// (Flush). Once woken, the writer gathers for kGather before it writes, and
// is not woken again meanwhile: under load many requests' lines share one
// wake-up and one write instead of a thread switch per request, and a line
// reaches the file at most kGather later than it would have. Outside the
// loop (start-up, tests, after Stop) each line is written at once.
#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/line_appender.h"

namespace korvane {

// The numbered backup name for a file that is moved aside: the first of
// name's stem + "._0" .. "._9" that does not exist, else the oldest.
std::string BackupName(const Files& files, const std::string& name);

class LogWriter {
 public:
  explicit LogWriter(const Files& files) : files_(files), now_(files) {}
  ~LogWriter() { Stop(); }
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Lines go to the writer thread from now on.
  void Start();
  // Writes every line handed over, ends the thread; lines are written at
  // once again afterwards.
  void Stop();

  // Appends text, then end (a whole line with its CR LF between them), to
  // the log file log_path.
  void Append(const std::string& log_path, std::string_view text, std::string_view end = {});
  // Writes text to standard output after every line appended before it, so
  // that a line printed there is always in the log file already.
  void Print(std::string_view text);
  // Hands the lines gathered so far to the writer thread: when the loop is
  // about to wait (idle), or once kBatch lines have gathered.
  void Flush(bool idle = true);
  static constexpr size_t kBatch = 64;
  static constexpr std::chrono::microseconds kGather{1000};
  // Lines the writer may fall behind by; past it the loop waits for the
  // writer (as it waited for every line before), so a stalled disk cannot
  // make the queue grow without end.
  static constexpr size_t kMaxBehind = 100000;

 private:
  // Lines one after another in one buffer, each with where it goes and
  // where it ends: logging a line allocates nothing of its own once the
  // buffers have grown, and a run of lines for one file is written as it
  // lies.
  struct Lines {
    struct Entry {
      std::shared_ptr<const std::string> path;  // null: standard output
      size_t end;                                // in text
    };
    std::string text;
    std::vector<Entry> entries;
    void Add(std::shared_ptr<const std::string> path, std::string_view a, std::string_view b);
    void TakeFrom(Lines& other);  // appends other's lines and empties it
    size_t Begin(size_t i) const { return i == 0 ? 0 : entries[i - 1].end; }
    size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }
    void clear() { text.clear(), entries.clear(); }
  };
  void Added();
  void Run();
  // Writes lines in order; a run of lines for one file is appended through
  // one opening, standard output is flushed once.
  static void Write(const Files& files, LineAppender& out, const Lines& lines);
  static size_t AppendRun(const Files& files, LineAppender& out, const Lines& lines, size_t first);
  static size_t PrintRun(const Lines& lines, size_t first);

  const Files& files_;
  LineAppender now_;            // for lines written at once
  Lines pending_;               // this pass's lines (loop thread only)
  // The log's name, shared by its lines rather than copied into each.
  std::shared_ptr<const std::string> last_path_;

  std::mutex m_;
  std::condition_variable wake_;
  std::condition_variable caught_up_;  // the writer took the queue
  Lines queue_;                 // handed over, not yet written
  bool waiting_ = false;        // the writer sleeps on wake_
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace korvane
